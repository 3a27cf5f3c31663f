// The scan-project-ids worker: session id and working directory of a chat file's
// first record, reading at most its first 65536 bytes.
#pragma once

#include <string>
#include <vector>

#include "scan_entries.h"

namespace orva {

inline constexpr std::size_t HEAD_WINDOW = 65536;

ProjectIdEntry scanHead(const std::string& chatsDir, std::string name, std::vector<char>& buffer);

}  // namespace orva
