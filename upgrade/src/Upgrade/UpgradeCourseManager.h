// The one manager of the process: the registry of version steps in chain order,
// the choice of a chain from a start version to the last version, the four pass
// loops, and the module's last error, which the steps write by reference.
#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Qarn/Base/Noncopyable.h"
#include "Upgrade/ModuleUpgradeBase.h"
#include "Upgrade/Version.h"
#include "db_layer/CConnect.h"
#include "db_layer/DBParam.h"

namespace UnifiedUpgradeComponent {

using UpgradeCourse = std::vector<std::shared_ptr<CModuleUpgradeBase>>;

class CUpgradeCourseManager : public Qarn::Base::CNoncopyable {
public:
    // Builds the registry from the step table, in chain order.
    CUpgradeCourseManager();
    // For tests: a registry of the given steps instead of the module's own.
    explicit CUpgradeCourseManager(UpgradeCourse vecSteps);

    // Created on first use under a lock with a second test inside; lives until unload.
    static CUpgradeCourseManager& GetInstance();

    std::string ProvideLastVersion() const;
    bool GetLastError(int& nErrorCode, std::string& strErrorInfo) const;
    bool EnumerateUpgradeVersion(UpgradeCourse& vecOut, CVersion startVersion);

    bool RunUpgrade_Config(CVersion startVersion, db_layer::CConnect* pFirstConn, db_layer::CConnect* pSecondConn,
                           db_layer::DBParam dbParam);
    bool RunUpgrade_Records(CVersion startVersion, db_layer::CConnect* pFirstConn, db_layer::CConnect* pSecondConn,
                            db_layer::DBParam dbParam);
    bool RunUpgrade_Config_IncreData(CVersion startVersion, db_layer::CConnect* pFirstConn,
                                     db_layer::CConnect* pSecondConn, db_layer::CConnect* pThirdConn,
                                     db_layer::DBParam dbParam);
    bool RunUpgrade_Records_IncreData(CVersion startVersion, db_layer::CConnect* pFirstConn,
                                      db_layer::CConnect* pSecondConn, db_layer::CConnect* pThirdConn,
                                      db_layer::DBParam dbParam);
    bool RunUpgrade_ResetPKorSEQ(CVersion startVersion, db_layer::CConnect* pFirstConn,
                                 db_layer::CConnect* pSecondConn, db_layer::CConnect* pThirdConn,
                                 db_layer::DBParam dbParam);

    const UpgradeCourse& Registry() const { return m_vecUpgradeCourse; }

private:
    // The log lines of one run operation; each format takes the operation's qualified name.
    struct SRunMessages {
        const char* szRun;
        int nEnumerateFailedLevel;
        const char* szEnumerateFailed;
        const char* szStarted;  // logged before the first step, or nullptr
        const char* szStepFailed;
    };
    template <class FnPass>
    bool RunCourse(const CVersion& startVersion, const SRunMessages& messages, FnPass fnPass);

    UpgradeCourse m_vecUpgradeCourse;
    int m_nLastErrorCode = 0;
    std::string m_strLastErrorInfo;

    static std::mutex s_mutexCreate;
    static std::unique_ptr<CUpgradeCourseManager> s_pInstance;
};

}  // namespace UnifiedUpgradeComponent
