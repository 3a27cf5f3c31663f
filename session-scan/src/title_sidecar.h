// Reader of a title sidecar, "<session id>.title.json" beside the chat file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace orva {

inline constexpr std::size_t DISPLAY_NAME_CHAR_LIMIT = 256;
// A sidecar larger than this is unusable, like a malformed one; a valid one is a
// few hundred bytes, and a hostile one of gigabytes must not be read whole.
inline constexpr std::size_t SIDECAR_SIZE_LIMIT = 1048576;

struct TitleSidecar {
    std::string displayName;  // trimmed of Unicode White_Space, 1 to 256 characters
    std::string source;       // "auto", "manual" or "prompt"
};

std::optional<TitleSidecar> readTitleSidecar(const std::string& path);

}  // namespace orva
