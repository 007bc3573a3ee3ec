// Reading a delivered script (bytes kept, trailing newlines cut, the .data
// fallback) and the digest its run history records.
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

TEST(ScriptFile, Sha256MatchesStandardVectorsAcrossBlockBoundaries) {
    EXPECT_EQ(CSha256::HexDigest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(CSha256::HexDigest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(CSha256::HexDigest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(CSha256::HexDigest(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // Lengths where the padding needs a second block, or a block of its own.
    const std::pair<size_t, const char*> aLengths[] = {
        {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {120, "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"}};
    for (const auto& length : aLengths) {
        EXPECT_EQ(CSha256::HexDigest(std::string(length.first, 'a')), length.second) << length.first << " bytes";
    }
    EXPECT_EQ(CSha256::HexDigest(std::string("\xff\x00\x80", 3)),
              "ef192b7af54e943f206ab27075ec1805384c972c9959fc5820f1fa7d5268fcef")
        << "bytes above 0x7f and NUL";
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
