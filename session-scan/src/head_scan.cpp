#include "head_scan.h"

namespace orva {

// Provisional until the head scan lands: never claims to have read a file.
ProjectIdEntry scanHead(const std::string&, std::string name, std::vector<char>&) {
    ProjectIdEntry entry;
    entry.name = std::move(name);
    entry.status = EntryStatus::Fallback;
    return entry;
}

}  // namespace orva
