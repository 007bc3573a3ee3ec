// The loaded plug-in: dlopen of the library file and the seven entry points bound
// by their linker names. Owns the library handle (closed on destruction). The
// pointer types come from the plug-in's own header, so a changed declaration
// breaks the host's build rather than its calls; no plug-in code is linked.
#pragma once
#include <string>

#include "Export/ModuleUpgrade.h"

namespace VisitorUpgradeHost {

class CPluginLibrary {
public:
    using ProvideLastVersionFn = decltype(&UnifiedUpgradeComponent::ProvideLastVersion);
    using GetLastErrorFn = decltype(&UnifiedUpgradeComponent::GetLastError);
    using RunTwoFn = decltype(&UnifiedUpgradeComponent::RunUpgrade_Config);
    using RunThreeFn = decltype(&UnifiedUpgradeComponent::RunUpgrade_Config_IncreData);

    CPluginLibrary() = default;
    ~CPluginLibrary();
    CPluginLibrary(const CPluginLibrary&) = delete;
    CPluginLibrary& operator=(const CPluginLibrary&) = delete;

    // Loads strPath and binds all seven entry points; false with a one-line
    // reason in strError when the file cannot be loaded or an entry is missing.
    bool Load(const std::string& strPath, std::string& strError);

    // The plug-in installed beside the running command.
    static std::string DefaultPath();

    ProvideLastVersionFn ProvideLastVersion = nullptr;
    GetLastErrorFn GetLastError = nullptr;
    RunTwoFn RunUpgrade_Config = nullptr;
    RunTwoFn RunUpgrade_Records = nullptr;
    RunThreeFn RunUpgrade_Config_IncreData = nullptr;
    RunThreeFn RunUpgrade_Records_IncreData = nullptr;
    RunThreeFn RunUpgrade_ResetPKorSEQ = nullptr;

private:
    void* m_pHandle = nullptr;
};

}  // namespace VisitorUpgradeHost
