// The entries of one chunk of the listing, held compactly until the document is
// written: a status per entry, and the bytes of the present fields copied once into
// large blocks, so that memory follows the document rather than the entry types.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "scan_entries.h"

namespace orva {

using OptionalView = std::optional<std::string_view>;

// Blocks of this size hold the fields; an entry larger than that gets a block of its
// own. Blocks are allocated without being zeroed, so a page is touched only when
// entries are written into it.
inline constexpr std::size_t ENTRY_BLOCK_SIZE = 256 * 1024;

class EntryStore {
  public:
    // Room for this many entries, allocated once.
    void reserve(std::size_t entries) { slots_.reserve(entries); }

    // One entry: its status and its fields, present or absent, in the order the
    // reader of this store expects them. Views into the store stay valid as long as
    // the store.
    void add(EntryStatus status, std::span<const OptionalView> fields);

    std::size_t size() const { return slots_.size(); }
    EntryStatus status(std::size_t entry) const { return slots_[entry].status; }
    // The fields of an entry, as many as out holds (the count given to add).
    void fields(std::size_t entry, std::span<OptionalView> out) const;

  private:
    struct Slot {
        const char* record = nullptr;  // nullptr: no field is present
        EntryStatus status = EntryStatus::Skip;
    };

    char* allocate(std::size_t size);

    std::vector<Slot> slots_;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* free_ = nullptr;
    std::size_t freeSize_ = 0;
};

// The stored entries of the chunks that finished, each with the listing position of
// its first entry, in listing order.
struct StoredChunk {
    std::size_t firstFile = 0;
    const EntryStore* entries = nullptr;
};

// The session fields of a catalog entry in the order of CatalogEntry, and of a
// project-id entry.
inline constexpr std::size_t CATALOG_FIELD_COUNT = 12;
inline constexpr std::size_t PROJECT_ID_FIELD_COUNT = 2;
using CatalogFields = std::array<OptionalView, CATALOG_FIELD_COUNT>;
using ProjectIdFields = std::array<OptionalView, PROJECT_ID_FIELD_COUNT>;

CatalogFields catalogFieldsOf(const CatalogEntry& entry);
ProjectIdFields projectIdFieldsOf(const ProjectIdEntry& entry);

}  // namespace orva
