#include "record_fields.h"

#include <gtest/gtest.h>

namespace orva {
namespace {

TEST(RecordFieldsBasics, ReadsTheKnownMembers) {
    const auto fields = extractRecordFields(
        R"({"sessionId":"s1","cwd":"/w","timestamp":"t","gitBranch":"main","type":"user",)"
        R"("subtype":"x","systemPayload":{"sourceType":"st","displayText":"d"},)"
        R"("message":{"parts":[{"type":"a"},{"text":"hi"}]},"other":[1,{"sessionId":"no"}]})");
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->sessionId, "s1");
    EXPECT_EQ(fields->cwd, "/w");
    EXPECT_EQ(fields->timestamp, "t");
    EXPECT_EQ(fields->gitBranch, "main");
    EXPECT_EQ(fields->type, "user");
    EXPECT_EQ(fields->subtype, "x");
    EXPECT_TRUE(fields->hasSubtype);
    EXPECT_EQ(fields->systemPayload.sourceType, "st");
    EXPECT_EQ(fields->systemPayload.displayText, "d");
    EXPECT_TRUE(fields->systemPayload.hasDisplayText);
    EXPECT_EQ(fields->messageText, "hi");
    EXPECT_FALSE(fields->partTextNonString);
}

TEST(RecordFieldsBasics, RejectsWhatIsNotOneObject) {
    EXPECT_FALSE(extractRecordFields("[]"));
    EXPECT_FALSE(extractRecordFields("{},"));
    EXPECT_FALSE(extractRecordFields(R"({"cwd":"\ud800"})"));
    EXPECT_TRUE(extractRecordFields("{}"));
}

}  // namespace
}  // namespace orva
