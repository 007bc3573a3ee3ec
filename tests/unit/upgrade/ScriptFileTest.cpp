// Reading a delivered script (bytes kept, trailing newlines cut, the .data
// fallback) and the file whose digest its run history records. The digests
// themselves are pinned by the expected transcripts and checked against sha256sum
// by the plan cases.
#include <gtest/gtest.h>

#include "ScriptTree.h"
#include "Upgrade/ScriptFile.h"
#include "Upgrade/Sha256.h"

using UnifiedUpgradeComponent::CSha256;
using UnifiedUpgradeComponent::ReadScriptFile;
using UnifiedUpgradeComponent::SScriptOrigin;

namespace {

std::string Read(const std::string& strPath, bool* pOk = nullptr) {
    std::string strText = "left over";
    const bool bOk = ReadScriptFile(strText, strPath, "");
    if (pOk) *pOk = bOk;
    return strText;
}

TEST(ScriptFile, KeepsBytesAndDropsOnlyTrailingNewlines) {
    vsu_test::CScriptTree tree;
    tree.WriteFile("d/one.sql", "\n");
    tree.WriteFile("d/three.sql", "SELECT 1;\n\n\n");
    tree.WriteFile("d/crlf.sql", "SELECT 1;\r\n");
    tree.WriteFile("d/inner.sql", "\xEF\xBB\xBFSELECT 1;\n\nSELECT 2;");

    EXPECT_EQ(Read("d/one.sql"), "\n") << "a text of newlines only stays";
    EXPECT_EQ(Read("d/three.sql"), "SELECT 1;");
    EXPECT_EQ(Read("d/crlf.sql"), "SELECT 1;\r");
    EXPECT_EQ(Read("d/inner.sql"), "\xEF\xBB\xBFSELECT 1;\n\nSELECT 2;") << "byte-order mark and inner lines stay";
}

TEST(ScriptFile, FallsBackToDataFileWhenScriptIsMissingOrEmpty) {
    vsu_test::CScriptTree tree;
    tree.WriteFile("missing/update.data", "SELECT 'data';");
    tree.WriteFile("empty/update.sql", "");
    tree.WriteFile("empty/update.data", "SELECT 'empty';");
    tree.WriteFile("both/update.sql", "SELECT 'sql';");
    tree.WriteFile("both/update.data", "SELECT 'data';");

    EXPECT_EQ(Read("missing/update.sql"), "SELECT 'data';");
    EXPECT_EQ(Read("empty/update.sql"), "SELECT 'empty';");
    EXPECT_EQ(Read("both/update.sql"), "SELECT 'sql';");

    bool bOk = true;
    EXPECT_EQ(Read("none/update.sql", &bOk), "left over") << "nothing read leaves the text";
    EXPECT_FALSE(bOk);
    EXPECT_EQ(Read("no-separator.sql", &bOk), "left over");
    EXPECT_FALSE(bOk);

    std::string strText;
    tree.WriteFile("x/explicit.txt", "SELECT 'explicit';");
    EXPECT_TRUE(ReadScriptFile(strText, "none/update.sql", "x/explicit.txt"));
    EXPECT_EQ(strText, "SELECT 'explicit';");
}

TEST(ScriptFile, OriginNamesTheFileReadAndDigestsItsStoredBytes) {
    vsu_test::CScriptTree tree;
    tree.WriteFile("s/update.sql", "SELECT 1;\n\n");
    tree.WriteFile("f/update.data", "SELECT 2;");
    std::string strText;
    SScriptOrigin origin;
    ASSERT_TRUE(ReadScriptFile(strText, "s/update.sql", "", origin));
    EXPECT_EQ(origin.strPath, "s/update.sql");
    EXPECT_EQ(origin.strSha256, CSha256::HexDigest("SELECT 1;\n\n")) << "the newlines cut from the text count";
    ASSERT_TRUE(ReadScriptFile(strText, "f/update.sql", "", origin));
    EXPECT_EQ(origin.strPath, "f/update.data");
    EXPECT_FALSE(ReadScriptFile(strText, "none/update.sql", "", origin));
    EXPECT_EQ(origin.strPath, "none/update.sql");
    EXPECT_EQ(origin.strSha256, CSha256::HexDigest(""));
}

}  // namespace
