#include "json_reader.h"

namespace orva {}  // namespace orva
