// The one quoting helper: a literal holds the value exactly, whatever it holds.
#include <gtest/gtest.h>

#include <regex>
#include <vector>

#include "Upgrade/SqlText.h"

using UnifiedUpgradeComponent::CSqlText;

TEST(SqlText, LiteralsDoubleEveryQuoteAndKeepEveryOtherByteAndNullStaysNull) {
    EXPECT_EQ(CSqlText::Literal("it's ''x'' \\' ;--"), "'it''s ''''x'''' \\'' ;--'");
    EXPECT_EQ(CSqlText::Literal(""), "''");
    EXPECT_EQ(CSqlText::Literal("caf\xC3\xA9\n${H5URL}"), "'caf\xC3\xA9\n${H5URL}'");
    EXPECT_EQ(CSqlText::NullableLiteral("x", true), "NULL");
    EXPECT_EQ(CSqlText::NullableLiteral("", false), "''");
    EXPECT_EQ(CSqlText::NullableLiteral("NULL", false), "'NULL'");
    EXPECT_TRUE(std::regex_match(CSqlText::NowText(), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));
    EXPECT_EQ(CSqlText::JoinNumbers(std::vector<int>{1, -2, 3}), "1,-2,3");
    EXPECT_EQ(CSqlText::JoinNumbers(std::vector<int>{}), "");
}
