#include "session_titles.h"

namespace orva {}  // namespace orva
