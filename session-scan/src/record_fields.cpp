#include "record_fields.h"

namespace orva {}  // namespace orva
