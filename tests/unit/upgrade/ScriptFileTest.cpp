// Reading a delivered script (bytes kept, trailing newlines cut, the .data
// fallback), the file it came from and the digest of that file's stored bytes,
// which its run history records. The end-to-end cases compare the digests with sha256sum.
#include <gtest/gtest.h>

#include <map>

#include "ScriptTree.h"
#include "Upgrade/ScriptFile.h"
#include "Upgrade/Sha256.h"

using UnifiedUpgradeComponent::CSha256;
using UnifiedUpgradeComponent::ReadScriptFile;

namespace {

TEST(ScriptFile, KeepsBytesDropsTrailingNewlinesAndFallsBackToTheDataFileOfAMissingOrEmptyScript) {
    const std::map<std::string, std::string> files = {
        {"d/one.sql", "\n"},
        {"d/three.sql", "SELECT 1;\n\n\n"},
        {"d/crlf.sql", "SELECT 1;\r\n"},
        {"d/inner.sql", "\xEF\xBB\xBFSELECT 1;\n\nSELECT 2;"},
        {"missing/update.data", "SELECT 'data';"},
        {"empty/update.sql", ""},
        {"empty/update.data", "SELECT 'empty';"},
        {"both/update.sql", "SELECT 'sql';"},
        {"both/update.data", "SELECT 'data';"},
    };
    vsu_test::CScriptTree tree;
    for (const auto& [strPath, strContent] : files) tree.WriteFile(strPath, strContent);
    const struct {
        const char* szPath;
        const char* szText;    // nullptr: nothing read, the text is left as it was
        const char* szOrigin;  // the file read
    } cases[] = {
        {"d/one.sql", "\n", "d/one.sql"},  // a text of newlines only stays
        {"d/three.sql", "SELECT 1;", "d/three.sql"},
        {"d/crlf.sql", "SELECT 1;\r", "d/crlf.sql"},
        {"d/inner.sql", "\xEF\xBB\xBFSELECT 1;\n\nSELECT 2;", "d/inner.sql"},  // byte-order mark and inner lines stay
        {"missing/update.sql", "SELECT 'data';", "missing/update.data"},
        {"empty/update.sql", "SELECT 'empty';", "empty/update.data"},
        {"both/update.sql", "SELECT 'sql';", "both/update.sql"},
        {"none/update.sql", nullptr, "none/update.sql"},
        {"no-separator.sql", nullptr, "no-separator.sql"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szPath);
        std::string strText = "left over";
        UnifiedUpgradeComponent::SScriptOrigin origin;
        EXPECT_EQ(ReadScriptFile(strText, c.szPath, "", origin), c.szText != nullptr);
        EXPECT_EQ(strText, c.szText != nullptr ? c.szText : "left over");
        EXPECT_EQ(origin.strPath, c.szOrigin);
        // The newlines cut from the text count: the digest is of the bytes stored.
        const auto itFile = files.find(c.szOrigin);
        EXPECT_EQ(origin.strSha256, CSha256::HexDigest(itFile != files.end() ? itFile->second : ""));
    }
    std::string strText;
    tree.WriteFile("x/explicit.txt", "SELECT 'explicit';");
    EXPECT_TRUE(ReadScriptFile(strText, "none/update.sql", "x/explicit.txt"));
    EXPECT_EQ(strText, "SELECT 'explicit';");
}

}  // namespace
