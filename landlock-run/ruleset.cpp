#include "ruleset.h"
