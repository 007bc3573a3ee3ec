// A temporary working directory holding a META_INFO script tree, made current
// for the test's lifetime (steps read their scripts relative to it). The
// previous working directory is restored and the tree removed on destruction.
#pragma once
#include <filesystem>
#include <string>

namespace vsu_test {

class CScriptTree {
public:
    CScriptTree();
    ~CScriptTree();
    CScriptTree(const CScriptTree&) = delete;
    CScriptTree& operator=(const CScriptTree&) = delete;

    // Any file below the root, path relative to it, with exactly these bytes.
    void WriteFile(const std::string& strRelativePath, const std::string& strContent) const;
    // A delivered script: META_INFO/visitor.s/runtime_script/db_init/<folder>/<file>.
    void Write(const std::string& strFolder, const std::string& strFile, const std::string& strContent) const {
        WriteFile("META_INFO/visitor.s/runtime_script/db_init/" + strFolder + "/" + strFile, strContent);
    }

private:
    std::filesystem::path m_root;
    std::filesystem::path m_previous;
};

}  // namespace vsu_test
