// Reader of a title sidecar, "<session id>.title.json" beside the chat file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "text.h"  // trimUnicodeWhiteSpace

namespace orva {

inline constexpr std::size_t DISPLAY_NAME_CHAR_LIMIT = 256;
// A sidecar larger than this is unusable, like a malformed one; a valid one is a
// few hundred bytes, and a hostile one of gigabytes must not be read whole.
inline constexpr std::size_t SIDECAR_SIZE_LIMIT = 1048576;

struct TitleSidecar {
    std::string displayName;  // trimmed of Unicode White_Space, 1 to 256 characters
    std::string source;       // "auto", "manual" or "prompt"
};

// Absent when the file is missing, not a regular file, unreadable, larger than
// SIDECAR_SIZE_LIMIT, or not exactly of the sidecar's shape.
std::optional<TitleSidecar> readTitleSidecar(const std::string& path);

// The sidecar's shape rules over its whole content.
std::optional<TitleSidecar> parseTitleSidecar(std::string_view content);

}  // namespace orva
