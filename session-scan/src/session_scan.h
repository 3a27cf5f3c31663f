// The scan-catalog worker: the catalog entry of one chat file, from bounded
// windows at its head and tail.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chat_listing.h"
#include "scan_entries.h"

namespace orva {

inline constexpr std::size_t SCAN_WINDOW = 65536;
inline constexpr std::size_t WHOLE_READ_LIMIT = 131072;
inline constexpr std::size_t HEAD_RECORD_LIMIT = 10;
inline constexpr std::size_t TAIL_READ_SIZE = SCAN_WINDOW + 1;
// The read buffer of a catalog worker thread: the largest read, a whole small file.
inline constexpr std::size_t CATALOG_WORKER_BUFFER = WHOLE_READ_LIMIT;

CatalogEntry scanSessionFile(const std::string& chatsDir, const ChatFile& file,
                             const SidecarNameSet& sidecarNames, std::vector<char>& buffer);

struct TailSessionSource {
    std::string sourceType;  // possibly empty
    OptionalString sourceId;
};

std::optional<TailSessionSource> findTailSessionSource(std::string_view window, bool startsMidLine);

}  // namespace orva
