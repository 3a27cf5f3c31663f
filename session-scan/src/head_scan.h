// The scan-project-ids worker: session id and working directory of a chat file's
// first record, reading at most its first 65536 bytes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "scan_entries.h"

namespace orva {

inline constexpr std::size_t HEAD_WINDOW = 65536;
// The read buffer of a project-id worker thread: one head window.
inline constexpr std::size_t HEAD_WORKER_BUFFER = HEAD_WINDOW;

ProjectIdEntry scanHead(const std::string& chatsDir, std::string name, std::vector<char>& buffer);

}  // namespace orva
