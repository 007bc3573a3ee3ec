// The seven entry points of the plug-in. Each export forwards to the one
// CUpgradeCourseManager of the process; connections are the host's, borrowed
// for the length of one call and never closed here.
#pragma once
#include <string>

#include "db_layer/CConnect.h"
#include "db_layer/DBParam.h"

#if defined(_WIN32)
#  if defined(VISITOR_S_UPGRADE_BUILDING)
#    define UPGRADE_API __declspec(dllexport)
#  else
#    define UPGRADE_API __declspec(dllimport)
#  endif
#else
#  define UPGRADE_API __attribute__((visibility("default")))
#endif

namespace UnifiedUpgradeComponent {

UPGRADE_API bool ProvideLastVersion(std::string& strVersion);
UPGRADE_API bool GetLastError(int& nErrorCode, std::string& strErrorInfo);
UPGRADE_API bool RunUpgrade_Config(std::string strVersion, db_layer::CConnect* pFirstConn,
                                   db_layer::CConnect* pSecondConn, db_layer::DBParam dbParam);
UPGRADE_API bool RunUpgrade_Records(std::string strVersion, db_layer::CConnect* pFirstConn,
                                    db_layer::CConnect* pSecondConn, db_layer::DBParam dbParam);
UPGRADE_API bool RunUpgrade_Config_IncreData(std::string strVersion, db_layer::CConnect* pFirstConn,
                                             db_layer::CConnect* pSecondConn, db_layer::CConnect* pThirdConn,
                                             db_layer::DBParam dbParam);
UPGRADE_API bool RunUpgrade_Records_IncreData(std::string strVersion, db_layer::CConnect* pFirstConn,
                                              db_layer::CConnect* pSecondConn, db_layer::CConnect* pThirdConn,
                                              db_layer::DBParam dbParam);
UPGRADE_API bool RunUpgrade_ResetPKorSEQ(std::string strVersion, db_layer::CConnect* pFirstConn,
                                         db_layer::CConnect* pSecondConn, db_layer::CConnect* pThirdConn,
                                         db_layer::DBParam dbParam);

}  // namespace UnifiedUpgradeComponent
