// EntryStore: every field comes back as it went in, present or absent, empty or of
// any length; entries cross block boundaries and one larger than a block gets its
// own; views stay valid while entries are added.
#include "entry_store.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace orva {
namespace {

using Fields = std::vector<std::optional<std::string>>;

std::vector<OptionalView> views(const Fields& fields) {
    std::vector<OptionalView> out;
    for (const auto& field : fields) out.push_back(field ? OptionalView(*field) : std::nullopt);
    return out;
}

Fields decoded(const EntryStore& store, std::size_t entry, std::size_t count) {
    std::vector<OptionalView> out(count);
    store.fields(entry, out);
    Fields fields;
    for (const OptionalView& field : out)
        fields.push_back(field ? std::optional(std::string(*field)) : std::nullopt);
    return fields;
}

TEST(EntryStore, FieldsComeBackAsTheyWentIn) {
    const std::string nonAscii = "\xc3\xa9t\xc3\xa9 \xf0\x9f\x9a\x80 \"q\" \\ \n";
    const std::vector<std::pair<EntryStatus, Fields>> cases = {
        {EntryStatus::Skip, {std::nullopt, std::nullopt}},
        {EntryStatus::Ok, {"", std::nullopt}},  // empty is present
        {EntryStatus::Ok, {std::nullopt, ""}},
        {EntryStatus::Ok, {"s", "/w"}},
        {EntryStatus::Fallback, {nonAscii, std::string(1, '\0')}},
        {EntryStatus::Ok,
         {std::string(126, 'a'), std::string(127, 'b')}},  // one- and two-byte lengths
        {EntryStatus::Ok, {std::string(16382, 'c'), std::string(16383, 'd')}},  // two and three
        {EntryStatus::Ok, {std::string(ENTRY_BLOCK_SIZE + 5, 'e'), "after"}},  // a block of its own
    };
    EntryStore store;
    store.reserve(cases.size() * 40);
    std::vector<OptionalView> first;
    for (int round = 0; round < 40; ++round) {  // enough to fill several blocks
        for (const auto& [status, fields] : cases) store.add(status, views(fields));
        if (round == 0) {
            first.resize(2);
            store.fields(3, first);
        }
    }
    ASSERT_EQ(store.size(), cases.size() * 40);
    for (std::size_t i = 0; i < store.size(); ++i) {
        const auto& [status, fields] = cases[i % cases.size()];
        EXPECT_EQ(store.status(i), status) << i;
        EXPECT_EQ(decoded(store, i, 2), fields) << i;
    }
    // A view taken before the later entries were added still shows its bytes.
    EXPECT_EQ(first[0], "s");
    EXPECT_EQ(first[1], "/w");
}

TEST(EntryStore, MovedStoreKeepsItsEntries) {
    EntryStore store;
    const Fields fields = {"one", std::nullopt, "three"};
    store.add(EntryStatus::Ok, views(fields));
    const EntryStore moved = std::move(store);
    EXPECT_EQ(decoded(moved, 0, 3), fields);
}

}  // namespace
}  // namespace orva
