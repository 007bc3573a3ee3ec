// The linker names of the plug-in's seven entry points (Itanium C++ ABI, libstdc++
// with the C++11 string). The host binds them by these names, as the platform's
// host binds the DLL's decorated names; the e2e suite checks them against the
// built library, so a changed signature fails there instead of at a customer.
#pragma once

namespace VisitorUpgradeHost {
namespace ExportNames {

constexpr const char* kProvideLastVersion =
    "_ZN23UnifiedUpgradeComponent18ProvideLastVersionERNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE";
constexpr const char* kGetLastError =
    "_ZN23UnifiedUpgradeComponent12GetLastErrorERiRNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE";
constexpr const char* kRunUpgradeConfig =
    "_ZN23UnifiedUpgradeComponent17RunUpgrade_ConfigENSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"
    "PN8db_layer8CConnectES8_NS6_7DBParamE";
constexpr const char* kRunUpgradeRecords =
    "_ZN23UnifiedUpgradeComponent18RunUpgrade_RecordsENSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"
    "PN8db_layer8CConnectES8_NS6_7DBParamE";
constexpr const char* kRunUpgradeConfigIncreData =
    "_ZN23UnifiedUpgradeComponent27RunUpgrade_Config_IncreDataENSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"
    "PN8db_layer8CConnectES8_S8_NS6_7DBParamE";
constexpr const char* kRunUpgradeRecordsIncreData =
    "_ZN23UnifiedUpgradeComponent28RunUpgrade_Records_IncreDataENSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"
    "PN8db_layer8CConnectES8_S8_NS6_7DBParamE";
constexpr const char* kRunUpgradeResetPKorSEQ =
    "_ZN23UnifiedUpgradeComponent23RunUpgrade_ResetPKorSEQENSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"
    "PN8db_layer8CConnectES8_S8_NS6_7DBParamE";

constexpr const char* kAll[] = {kProvideLastVersion,    kGetLastError,
                                kRunUpgradeConfig,      kRunUpgradeRecords,
                                kRunUpgradeConfigIncreData, kRunUpgradeRecordsIncreData,
                                kRunUpgradeResetPKorSEQ};

}  // namespace ExportNames
}  // namespace VisitorUpgradeHost
