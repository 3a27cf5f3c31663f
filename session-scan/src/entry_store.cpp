#include "entry_store.h"

#include <algorithm>
#include <cstring>

namespace orva {

namespace {

// A record is, per field, a length in 7-bit groups (little end first, the high bit
// saying that another group follows) holding the byte count plus one, 0 for absent,
// then the bytes.
std::size_t lengthBytes(std::size_t value) {
    std::size_t bytes = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++bytes;
    }
    return bytes;
}

char* putLength(char* out, std::size_t value) {
    while (value >= 0x80) {
        *out++ = static_cast<char>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    *out++ = static_cast<char>(value);
    return out;
}

const char* getLength(const char* in, std::size_t& value) {
    value = 0;
    for (unsigned shift = 0;; shift += 7) {
        const auto byte = static_cast<unsigned char>(*in++);
        value |= static_cast<std::size_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) return in;
    }
}

}  // namespace

char* EntryStore::allocate(std::size_t size) {
    if (size > freeSize_) {
        const std::size_t blockSize = std::max(size, ENTRY_BLOCK_SIZE);
        // Not value-initialised: a page is touched only when an entry is written to it.
        blocks_.emplace_back(new char[blockSize]);
        free_ = blocks_.back().get();
        freeSize_ = blockSize;
    }
    char* const at = free_;
    free_ += size;
    freeSize_ -= size;
    return at;
}

void EntryStore::add(EntryStatus status, std::span<const OptionalView> fields) {
    std::size_t size = 0;
    bool any = false;
    for (const OptionalView& field : fields) {
        size += field ? lengthBytes(field->size() + 1) + field->size() : 1;
        any = any || field.has_value();
    }
    Slot slot;
    slot.status = status;
    if (any) {
        char* out = allocate(size);
        slot.record = out;
        for (const OptionalView& field : fields) {
            if (!field) {
                *out++ = 0;
                continue;
            }
            out = putLength(out, field->size() + 1);
            if (!field->empty()) std::memcpy(out, field->data(), field->size());
            out += field->size();
        }
    }
    slots_.push_back(slot);
}

void EntryStore::fields(std::size_t entry, std::span<OptionalView> out) const {
    const char* in = slots_[entry].record;
    for (OptionalView& field : out) {
        if (in == nullptr) {
            field.reset();
            continue;
        }
        std::size_t length = 0;
        in = getLength(in, length);
        if (length == 0) {
            field.reset();
            continue;
        }
        field = std::string_view(in, length - 1);
        in += length - 1;
    }
}

namespace {

OptionalView view(const OptionalString& text) {
    return text ? OptionalView(*text) : std::nullopt;
}

}  // namespace

CatalogFields catalogFieldsOf(const CatalogEntry& entry) {
    return {view(entry.sessionId),          view(entry.cwd),
            view(entry.startTime),          view(entry.gitBranch),
            view(entry.promptText),         view(entry.parentSessionId),
            view(entry.sourceType),         view(entry.sourceId),
            view(entry.customTitle),        view(entry.titleSource),
            view(entry.sidecarDisplayName), view(entry.sidecarSource)};
}

ProjectIdFields projectIdFieldsOf(const ProjectIdEntry& entry) {
    return {view(entry.sessionId), view(entry.cwd)};
}

}  // namespace orva
