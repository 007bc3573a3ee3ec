#include "Upgrade/UpgradeCourseManager.h"

#include <atomic>

#include "Qarn/Base/StringUtil.h"
#include "Upgrade/100To130/UpgradeFunc_130.h"
#include "Upgrade/110To111/UpgradeFunc_111.h"
#include "Upgrade/1110To1120/UpgradeFunc_1120.h"
#include "Upgrade/1120To1130/UpgradeFunc_1130.h"
#include "Upgrade/1130To1140/UpgradeFunc_1140.h"
#include "Upgrade/1140To1150/UpgradeFunc_1150.h"
#include "Upgrade/1150To1160/UpgradeFunc_1160.h"
#include "Upgrade/130To160/UpgradeFunc_160.h"
#include "Upgrade/160To170/UpgradeFunc_170.h"
#include "Upgrade/170To180/UpgradeFunc_180.h"
#include "Upgrade/180To190/UpgradeFunc_190.h"
#include "Upgrade/190To1100/UpgradeFunc_1100.h"
#include "Upgrade/LogPosition.h"
#include "Upgrade/ModuleConstants.h"
#include "Upgrade/RawTo100/UpgradeFunc_100.h"

namespace UnifiedUpgradeComponent {

namespace {

using StepFactory = std::shared_ptr<CModuleUpgradeBase> (*)();

template <class TStep>
std::shared_ptr<CModuleUpgradeBase> MakeStep() {
    return std::make_shared<TStep>();
}

// The chain of version steps, in order: each step's to-version is the next
// step's from-version, and the last one ends at the module's last version.
const StepFactory kStepRegistry[] = {
    &MakeStep<CRawTo100>,     // 0.0.0  -> 1.0.0
    &MakeStep<C100ToC130>,    // 1.0.0  -> 1.3.0
    &MakeStep<C130ToC160>,    // 1.3.0  -> 1.6.0
    &MakeStep<C160ToC170>,    // 1.6.0  -> 1.7.0
    &MakeStep<C170ToC180>,    // 1.7.0  -> 1.8.0
    &MakeStep<C180ToC190>,    // 1.8.0  -> 1.9.0
    &MakeStep<C190ToC1100>,   // 1.9.0  -> 1.10.0
    &MakeStep<C110ToC111>,    // 1.10.0 -> 1.11.0
    &MakeStep<C1110ToC1120>,  // 1.11.0 -> 1.12.0
    &MakeStep<C1120ToC1130>,  // 1.12.0 -> 1.13.0
    &MakeStep<C1130ToC1140>,  // 1.13.0 -> 1.14.0
    &MakeStep<C1140ToC1150>,  // 1.14.0 -> 1.15.0
    &MakeStep<C1150ToC1160>,  // 1.15.0 -> 1.16.0
};

// Readers see a fully built manager or none; the lock only guards creation.
std::atomic<CUpgradeCourseManager*> g_pInstanceSeen{nullptr};

const char* const kManagerName = "UnifiedUpgradeComponent::CUpgradeCourseManager::";

std::string ManagerOperation(const char* szOperation) {
    return std::string(kManagerName) + szOperation;
}

}  // namespace

std::mutex CUpgradeCourseManager::s_mutexCreate;
std::unique_ptr<CUpgradeCourseManager> CUpgradeCourseManager::s_pInstance;

CUpgradeCourseManager::CUpgradeCourseManager() {
    for (StepFactory fnMake : kStepRegistry) m_vecUpgradeCourse.push_back(fnMake());
}

CUpgradeCourseManager::CUpgradeCourseManager(UpgradeCourse vecSteps) : m_vecUpgradeCourse(std::move(vecSteps)) {}

CUpgradeCourseManager& CUpgradeCourseManager::GetInstance() {
    CUpgradeCourseManager* pManager = g_pInstanceSeen.load(std::memory_order_acquire);
    if (pManager != nullptr) return *pManager;
    std::lock_guard<std::mutex> lock(s_mutexCreate);
    if (!s_pInstance) {
        s_pInstance.reset(new CUpgradeCourseManager());
        g_pInstanceSeen.store(s_pInstance.get(), std::memory_order_release);
    }
    return *s_pInstance;
}

std::string CUpgradeCourseManager::ProvideLastVersion() const {
    return CVersion(MODULE_LAST_VERSION).GetVersionString();
}

bool CUpgradeCourseManager::GetLastError(int& nErrorCode, std::string& strErrorInfo) const {
    nErrorCode = m_nLastErrorCode;
    strErrorInfo = m_strLastErrorInfo;
    return true;
}

bool CUpgradeCourseManager::EnumerateUpgradeVersion(UpgradeCourse& vecOut, CVersion startVersion) {
    const CVersion lastVersion(MODULE_LAST_VERSION);
    const std::string strName = ManagerOperation("EnumerateUpgradeVersion");
    bool bStartFound = false;
    bool bEndReached = false;
    CVersion currentVersion;
    for (const auto& pStep : m_vecUpgradeCourse) {
        if (!bStartFound) {
            if (!(pStep->GetFromVersion() == startVersion)) continue;
            bStartFound = true;
            vecOut.push_back(pStep);
            currentVersion = pStep->GetToVersion();
            UPG_LOG(LOG_INFO, "[%s][CUpgradeCourseManager::EnumerateUpgradeVersion] From Version: %s[%s(%d)]",
                    strName.c_str(), pStep->GetFromVersion().GetVersionString().c_str());
            if (currentVersion == lastVersion) {
                bEndReached = true;
                UPG_LOG(LOG_INFO, "[%s][CUpgradeCourseManager::EnumerateUpgradeVersion] To Version: %s[%s(%d)]",
                        strName.c_str(), currentVersion.GetVersionString().c_str());
                break;
            }
        } else if (!bEndReached && pStep->GetFromVersion().IsNotOlderThan(currentVersion)) {
            vecOut.push_back(pStep);
            currentVersion = pStep->GetToVersion();
            if (currentVersion == lastVersion) {
                bEndReached = true;
                break;
            }
        }
    }
    if (bEndReached) return true;

    m_nLastErrorCode = 1;
    m_strLastErrorInfo =
        Qarn::Base::StringUtil::str_fmt("Not Support Upgrade! From DB Version:[%s], To DB Version:[%s]",
                                        startVersion.GetVersionString().c_str(), lastVersion.GetVersionString().c_str());
    UPG_LOG(LOG_WARN, "[%s][CUpgradeCourseManager::EnumerateUpgradeVersion] %s[%s(%d)]", strName.c_str(),
            m_strLastErrorInfo.c_str());
    return false;
}

template <class FnPass>
bool CUpgradeCourseManager::RunCourse(const CVersion& startVersion, const SRunMessages& messages, FnPass fnPass) {
    const std::string strName = ManagerOperation(messages.szRun);
    UpgradeCourse vecCourse;
    if (!EnumerateUpgradeVersion(vecCourse, startVersion)) {
        UPG_LOG(messages.nEnumerateFailedLevel, messages.szEnumerateFailed, strName.c_str());
        return false;
    }
    if (messages.szStarted != nullptr) UPG_LOG(LOG_INFO, messages.szStarted, strName.c_str());
    for (const auto& pStep : vecCourse) {
        if (fnPass(*pStep)) continue;
        // What the earlier steps did stays done; the later ones are not called.
        UPG_LOG(LOG_ERROR, messages.szStepFailed, strName.c_str());
        return false;
    }
    return true;
}

bool CUpgradeCourseManager::RunUpgrade_Config(CVersion startVersion, db_layer::CConnect* pFirstConn,
                                              db_layer::CConnect* pSecondConn, db_layer::DBParam dbParam) {
    static const SRunMessages messages = {
        "RunUpgrade_Config", LOG_ERROR,
        "[%s][CUpgradeCourseManager::RunUpgrade] EnumerateUpgradeVersion Failed![%s(%d)]", nullptr,
        "[%s][CUpgradeCourseManager::RunUpgrade] UpgradeCourse_Config Failed![%s(%d)]"};
    return RunCourse(startVersion, messages, [&](CModuleUpgradeBase& step) {
        return step.UpgradeCourse_Config(m_nLastErrorCode, m_strLastErrorInfo, pFirstConn, pSecondConn, dbParam);
    });
}

bool CUpgradeCourseManager::RunUpgrade_Records(CVersion startVersion, db_layer::CConnect* pFirstConn,
                                               db_layer::CConnect* pSecondConn, db_layer::DBParam dbParam) {
    static const SRunMessages messages = {
        "RunUpgrade_Records", LOG_ERROR,
        "[%s][CUpgradeCourseManager::RunUpgrade] EnumerateUpgradeVersion Failed![%s(%d)]", nullptr,
        "[%s][CUpgradeCourseManager::RunUpgrade] UpgradeCourse_Records Failed![%s(%d)]"};
    return RunCourse(startVersion, messages, [&](CModuleUpgradeBase& step) {
        return step.UpgradeCourse_Records(m_nLastErrorCode, m_strLastErrorInfo, pFirstConn, pSecondConn, dbParam);
    });
}

bool CUpgradeCourseManager::RunUpgrade_Config_IncreData(CVersion startVersion, db_layer::CConnect* pFirstConn,
                                                        db_layer::CConnect* pSecondConn,
                                                        db_layer::CConnect* pThirdConn, db_layer::DBParam dbParam) {
    static const SRunMessages messages = {
        "RunUpgrade_Config_IncreData", LOG_WARN,
        "[%s][CUpgradeCourseManager::RunUpgrade] EnumerateUpgradeVersion Failed, Start or End Version NOT "
        "Found![%s(%d)]",
        "[%s][CUpgradeCourseManager::RunUpgrade] TEST - Runned![%s(%d)]",
        "[%s][CUpgradeCourseManager::RunUpgrade] UpgradeCourse_Config_IncreData Failed![%s(%d)]"};
    return RunCourse(startVersion, messages, [&](CModuleUpgradeBase& step) {
        return step.UpgradeCourse_Config_IncreData(m_nLastErrorCode, m_strLastErrorInfo, pFirstConn, pSecondConn,
                                                   pThirdConn, dbParam);
    });
}

bool CUpgradeCourseManager::RunUpgrade_Records_IncreData(CVersion startVersion, db_layer::CConnect* pFirstConn,
                                                         db_layer::CConnect* pSecondConn,
                                                         db_layer::CConnect* pThirdConn, db_layer::DBParam dbParam) {
    static const SRunMessages messages = {
        "RunUpgrade_Records_IncreData", LOG_ERROR,
        "[%s][CUpgradeCourseManager::RunUpgrade] EnumerateUpgradeVersion Failed![%s(%d)]", nullptr,
        "[%s][CUpgradeCourseManager::RunUpgrade] UpgradeCourse_Records_IncreData Failed![%s(%d)]"};
    return RunCourse(startVersion, messages, [&](CModuleUpgradeBase& step) {
        return step.UpgradeCourse_Records_IncreData(m_nLastErrorCode, m_strLastErrorInfo, pFirstConn, pSecondConn,
                                                    pThirdConn, dbParam);
    });
}

bool CUpgradeCourseManager::RunUpgrade_ResetPKorSEQ(CVersion /*startVersion*/, db_layer::CConnect* /*pFirstConn*/,
                                                    db_layer::CConnect* /*pSecondConn*/,
                                                    db_layer::CConnect* /*pThirdConn*/,
                                                    db_layer::DBParam /*dbParam*/) {
    return true;
}

}  // namespace UnifiedUpgradeComponent
