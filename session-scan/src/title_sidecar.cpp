#include "title_sidecar.h"

namespace orva {}  // namespace orva
