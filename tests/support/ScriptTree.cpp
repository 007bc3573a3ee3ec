#include "ScriptTree.h"

#include <fstream>
#include <random>

namespace vsu_test {

CScriptTree::CScriptTree() {
    std::random_device random;
    m_root = std::filesystem::temp_directory_path() / ("vsu-scripts-" + std::to_string(random()));
    std::filesystem::create_directories(m_root);
    m_previous = std::filesystem::current_path();
    std::filesystem::current_path(m_root);
}

CScriptTree::~CScriptTree() {
    std::error_code error;
    std::filesystem::current_path(m_previous, error);
    std::filesystem::remove_all(m_root, error);
}

void CScriptTree::WriteFile(const std::string& strRelativePath, const std::string& strContent) const {
    const std::filesystem::path path = m_root / strRelativePath;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << strContent;
}

}  // namespace vsu_test
