// Test-only seams in scanSessionFile, compiled in only when session_scan.cpp is
// built with ORVA_SESSION_SCAN_HOOKS (the orva_session_scan_hooked object library).
// The production library never sees this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orva::hooks {

// Called before every read of a chat file with its offset and size.
inline void (*onChatRead)(std::int64_t offset, std::size_t size) = nullptr;

// Called after the last read of a chat file and before the change check, so a test
// can change the file inside that window.
inline void (*beforeChangeCheck)(const std::string& path) = nullptr;

}  // namespace orva::hooks
