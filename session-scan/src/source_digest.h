// The SHA-256 of the scanner's source files, computed by the build.
#pragma once

namespace orva {

extern const char SOURCE_SHA256[];  // 64 lowercase hexadecimal digits

}  // namespace orva
