#include "Upgrade/ScriptFile.h"

#include <cstdio>
#include <vector>

#include "Upgrade/Sha256.h"

namespace UnifiedUpgradeComponent {

namespace {

// Opens strPath and measures it; a file of size 0 counts as not opened.
std::FILE* OpenNonEmpty(const std::string& strPath, long& nSize) {
    std::FILE* pFile = std::fopen(strPath.c_str(), "rb");
    if (pFile == nullptr) return nullptr;
    if (std::fseek(pFile, 0, SEEK_END) != 0 || (nSize = std::ftell(pFile)) <= 0 ||
        std::fseek(pFile, 0, SEEK_SET) != 0) {
        std::fclose(pFile);
        return nullptr;
    }
    return pFile;
}

}  // namespace

bool SplitFilePath(const std::string& strPath, std::string& strFolder, std::string& strBaseName,
                   std::string& strExtension) {
    const std::string::size_type nSep = strPath.find_last_of("/\\");
    if (nSep == std::string::npos) return false;
    strFolder = strPath.substr(0, nSep);
    const std::string strFileName = strPath.substr(nSep + 1);
    const std::string::size_type nDot = strFileName.rfind('.');
    if (nDot == std::string::npos) {
        strBaseName = strFileName;
    } else {
        strExtension = strFileName.substr(nDot + 1);
        strBaseName = strFileName.substr(0, nDot);
    }
    return true;
}

bool ReadScriptFile(std::string& strText, const std::string& strPath, const std::string& strFallbackPath) {
    SScriptOrigin origin;
    return ReadScriptFile(strText, strPath, strFallbackPath, origin);
}

bool ReadScriptFile(std::string& strText, const std::string& strPath, const std::string& strFallbackPath,
                    SScriptOrigin& origin) {
    origin.strPath = strPath;
    origin.strSha256 = CSha256::HexDigest(std::string());
    std::string strFallback = strFallbackPath;
    long nSize = 0;
    std::FILE* pFile = OpenNonEmpty(strPath, nSize);
    if (pFile == nullptr) {
        if (strFallback.empty()) {
            std::string strFolder, strBaseName, strExtension;
            if (!SplitFilePath(strPath, strFolder, strBaseName, strExtension)) return false;
            strFallback = strFolder + "/" + strBaseName + ".data";
        }
        pFile = OpenNonEmpty(strFallback, nSize);
        if (pFile == nullptr) return false;
        origin.strPath = strFallback;
    }
    std::vector<char> vecBuffer(static_cast<size_t>(nSize), '\0');
    const size_t nRead = std::fread(vecBuffer.data(), 1, vecBuffer.size(), pFile);
    std::fclose(pFile);
    strText.assign(vecBuffer.data(), nRead);
    origin.strSha256 = CSha256::HexDigest(strText);
    const std::string::size_type nLast = strText.find_last_not_of('\n');
    if (nLast != std::string::npos) strText.erase(nLast + 1);
    return true;
}

}  // namespace UnifiedUpgradeComponent
