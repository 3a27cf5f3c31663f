#include "file_access.h"

namespace orva {}  // namespace orva
