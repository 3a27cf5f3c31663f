#include "session_scan.h"

namespace orva {

// Provisional until the session scan lands: never claims to have read a file.
CatalogEntry scanSessionFile(const std::string&, const ChatFile& file, const SidecarNameSet&,
                             std::vector<char>&) {
    CatalogEntry entry;
    entry.name = file.name;
    entry.mtimeMs = file.mtimeMs;
    entry.status = EntryStatus::Fallback;
    return entry;
}

}  // namespace orva
