#include "direct_launch.h"
