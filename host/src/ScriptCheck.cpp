#include "ScriptCheck.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

#include "Upgrade/Sha256.h"

namespace VisitorUpgradeHost {

namespace {

enum class EFile { kRead, kMissing, kEmpty, kUnreadable };

EFile ReadWhole(const std::string& strPath, std::string& strText, std::string& strReason) {
    struct stat info;
    if (stat(strPath.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return EFile::kMissing;
        strReason = std::strerror(errno);
        return EFile::kUnreadable;
    }
    if (!S_ISREG(info.st_mode)) {
        strReason = "not a regular file";
        return EFile::kUnreadable;
    }
    errno = 0;
    std::ifstream file(strPath, std::ios::binary);
    if (!file) {
        strReason = errno != 0 ? std::strerror(errno) : "cannot be opened";
        return EFile::kUnreadable;
    }
    strText.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad()) {
        strReason = "read error";
        return EFile::kUnreadable;
    }
    return strText.empty() ? EFile::kEmpty : EFile::kRead;
}

std::string DataFallbackOf(const std::string& strPath) {
    const size_t nSlash = strPath.find_last_of('/');
    const size_t nDot = strPath.rfind('.');
    const size_t nBaseEnd = nDot != std::string::npos && nDot > nSlash ? nDot : strPath.size();
    return strPath.substr(0, nBaseEnd) + ".data";
}

}  // namespace

bool CScriptCheck::ReadOne(const std::string& strWorkdir, const CStepTable::SScriptNeed& need, SScript& script,
                           std::string& strProblem) {
    const std::string strPrefix =
        strWorkdir.empty() ? std::string() : strWorkdir + (strWorkdir.back() == '/' ? "" : "/");
    script = SScript{strPrefix + need.strPath, need.strPath, std::string(), 0, need.strClass, std::string()};
    std::string strReason;
    const EFile eFile = ReadWhole(script.strShownPath, script.strText, strReason);
    if (eFile != EFile::kRead) {
        // The plug-in's reader takes the ".data" file whenever the script gives no text.
        const std::string strFallback = DataFallbackOf(script.strShownPath);
        std::string strIgnored;
        if (ReadWhole(strFallback, script.strText, strIgnored) != EFile::kRead) {
            const std::string strState = eFile == EFile::kMissing ? "is missing"
                                         : eFile == EFile::kEmpty ? "is empty"
                                                                  : "cannot be read (" + strReason + ")";
            strProblem = "delivered script " + script.strShownPath + " " + strState + " (and no " +
                         strFallback.substr(strFallback.find_last_of('/') + 1) + " with text beside it)";
            return false;
        }
        script.strShownPath = strFallback;
        script.strPath = DataFallbackOf(need.strPath);
    }
    script.nSize = script.strText.size();
    script.strSha256 = UnifiedUpgradeComponent::CSha256::HexDigest(script.strText);
    const size_t nLast = script.strText.find_last_not_of('\n');
    if (nLast != std::string::npos) script.strText.erase(nLast + 1);
    return true;
}

bool CScriptCheck::Check(const std::string& strWorkdir, const std::vector<CStepTable::SScriptNeed>& vecNeeds,
                         std::string& strError) {
    m_vecScripts.clear();
    std::set<std::string> setSeen;
    for (const CStepTable::SScriptNeed& need : vecNeeds) {
        if (!setSeen.insert(need.strPath).second) continue;
        SScript script;
        if (!ReadOne(strWorkdir, need, script, strError)) {
            strError += "; nothing was sent";
            return false;
        }
        m_vecScripts.push_back(std::move(script));
    }
    return true;
}

const CScriptCheck::SScript* CScriptCheck::FoundIn(const std::vector<std::string>& vecLines,
                                                   const std::string& strClass) const {
    // Newest line first: the failing statement's line comes just before the step's and the manager's.
    for (auto line = vecLines.rbegin(); line != vecLines.rend(); ++line) {
        const SScript* pFound = nullptr;
        for (const SScript& script : m_vecScripts) {
            if (line->find(script.strText) == std::string::npos) continue;
            if (script.strClass == strClass) return &script;
            if (pFound == nullptr) pFound = &script;
        }
        if (pFound != nullptr) return pFound;
    }
    return nullptr;
}

int CScriptCheck::FailingLine(const SScript& script, const std::string& strErrorText) {
    static const std::string kMarker = "; at line ";
    const size_t nPos = strErrorText.rfind(kMarker);
    if (nPos != std::string::npos) {
        const int nLine = std::atoi(strErrorText.c_str() + nPos + kMarker.size());
        if (nLine > 0) return nLine;
    }
    return script.strText.find('\n') == std::string::npos ? 1 : 0;
}

}  // namespace VisitorUpgradeHost
