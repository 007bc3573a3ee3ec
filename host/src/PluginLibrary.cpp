#include "PluginLibrary.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include "ExportNames.h"

namespace VisitorUpgradeHost {

namespace {

constexpr const char* kLibraryFile = "libvisitor.s.upgrade.so";

template <typename Fn>
bool Bind(void* pHandle, const char* szName, const char* szReadable, Fn& fnOut, std::string& strError) {
    dlerror();
    void* pSymbol = dlsym(pHandle, szName);
    if (pSymbol == nullptr) {
        strError = std::string("export ") + szReadable + " (" + szName + ") not found in the plug-in";
        return false;
    }
    fnOut = reinterpret_cast<Fn>(pSymbol);
    return true;
}

}  // namespace

CPluginLibrary::~CPluginLibrary() {
    // The plug-in's manager lives until unload; unloading at exit is harmless,
    // but closing early while a pointer is still in use is not: only here.
    if (m_pHandle != nullptr) {
        dlclose(m_pHandle);
    }
}

std::string CPluginLibrary::DefaultPath() {
    char szBuffer[PATH_MAX];
    const ssize_t nLength = readlink("/proc/self/exe", szBuffer, sizeof(szBuffer) - 1);
    if (nLength <= 0) {
        return kLibraryFile;
    }
    std::string strExe(szBuffer, static_cast<size_t>(nLength));
    const size_t nSlash = strExe.rfind('/');
    return (nSlash == std::string::npos ? std::string(".") : strExe.substr(0, nSlash)) + "/" + kLibraryFile;
}

bool CPluginLibrary::Load(const std::string& strPath, std::string& strError) {
    if (access(strPath.c_str(), F_OK) != 0) {
        strError = "plug-in not found: " + strPath;
        return false;
    }
    // A path without '/' would make dlopen search the library path instead of
    // loading the file the user named.
    const std::string strOpen = strPath.find('/') == std::string::npos ? "./" + strPath : strPath;
    m_pHandle = dlopen(strOpen.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_pHandle == nullptr) {
        const char* szReason = dlerror();
        strError = "cannot load plug-in " + strPath + ": " + (szReason ? szReason : "unknown reason");
        return false;
    }
    namespace N = ExportNames;
    return Bind(m_pHandle, N::kProvideLastVersion, "ProvideLastVersion", ProvideLastVersion, strError) &&
           Bind(m_pHandle, N::kGetLastError, "GetLastError", GetLastError, strError) &&
           Bind(m_pHandle, N::kRunUpgradeConfig, "RunUpgrade_Config", RunUpgrade_Config, strError) &&
           Bind(m_pHandle, N::kRunUpgradeRecords, "RunUpgrade_Records", RunUpgrade_Records, strError) &&
           Bind(m_pHandle, N::kRunUpgradeConfigIncreData, "RunUpgrade_Config_IncreData",
                RunUpgrade_Config_IncreData, strError) &&
           Bind(m_pHandle, N::kRunUpgradeRecordsIncreData, "RunUpgrade_Records_IncreData",
                RunUpgrade_Records_IncreData, strError) &&
           Bind(m_pHandle, N::kRunUpgradeResetPKorSEQ, "RunUpgrade_ResetPKorSEQ", RunUpgrade_ResetPKorSEQ,
                strError);
}

}  // namespace VisitorUpgradeHost
