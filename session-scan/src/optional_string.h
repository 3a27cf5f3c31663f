// A string read from a file: absent or present, and present-and-empty is not absent.
#pragma once

#include <optional>
#include <string>

namespace orva {

using OptionalString = std::optional<std::string>;

}  // namespace orva
