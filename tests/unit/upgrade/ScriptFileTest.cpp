#include <gtest/gtest.h>

#include "ScriptTree.h"
#include "Upgrade/ScriptFile.h"

using UnifiedUpgradeComponent::ReadScriptFile;
using UnifiedUpgradeComponent::SplitFilePath;

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

TEST(ScriptFile, SplitsAtLastSeparatorAndLastDot) {
    std::string strFolder, strBase, strExt;
    ASSERT_TRUE(SplitFilePath("a/b.c/update.sql", strFolder, strBase, strExt));
    EXPECT_EQ(strFolder, "a/b.c");
    EXPECT_EQ(strBase, "update");
    EXPECT_EQ(strExt, "sql");

    strExt.clear();
    ASSERT_TRUE(SplitFilePath("a\\b\\archive.tar.gz", strFolder, strBase, strExt));
    EXPECT_EQ(strFolder, "a\\b");
    EXPECT_EQ(strBase, "archive.tar");
    EXPECT_EQ(strExt, "gz");

    strExt.clear();
    ASSERT_TRUE(SplitFilePath("dir/README", strFolder, strBase, strExt));
    EXPECT_EQ(strBase, "README");
    EXPECT_EQ(strExt, "");
    EXPECT_FALSE(SplitFilePath("plain.sql", strFolder, strBase, strExt));
}

}  // namespace
