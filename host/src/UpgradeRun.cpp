#include "UpgradeRun.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>

#include "EscapedText.h"
#include "HostConnections.h"
#include "LogRouter.h"
#include "ModuleLock.h"
#include "PluginLibrary.h"
#include "ProgressMonitor.h"
#include "StatusRows.h"
#include "OneLine.h"
#include "PlanScriptHistory.h"
#include "StepTable.h"
#include "Upgrade/BulkMode.h"
#include "Upgrade/ModuleConstants.h"
#include "db_layer/ErrorCodes.h"
#include "db_layer/SequenceSerialSource.h"

namespace VisitorUpgradeHost {

namespace {

constexpr const char* kModuleIdentity = UnifiedUpgradeComponent::MODULE_IDENTITY;
// The server ends a statement that waited longer than lock_timeout with SQLSTATE 55P03.
const int kLockTimeoutCode = db_layer::SqlStateToCode("55P03");

int Fail(int nExitCode, const std::string& strLine) {
    std::cerr << "visitor-upgrade: " << strLine << std::endl;
    return nExitCode;
}

// The line of a module lock that could not be asked for.
std::string LockFailed(const char* szOption, const std::string& strError) {
    return std::string("cannot take the upgrade lock with ") + szOption + ": " + COneLine::Of(strError);
}

// The line of a module lock that another run holds.
std::string HeldElsewhere(const char* szWhere, const std::string& strHolder) {
    return "another upgrade of module " + std::string(kModuleIdentity) + " is running on " + szWhere + " (" +
           (strHolder.empty() ? std::string("holder unknown") : strHolder) + "); not started";
}

}  // namespace

CUpgradeRun::CUpgradeRun(SRunOptions options) : m_options(std::move(options)) {}

bool CUpgradeRun::CheckChain(CPluginLibrary& plugin, int& nExitCode) {
    const SRunOptions& opt = m_options;
    bool bWalksChain = false;
    for (const std::string& strPass : opt.vecPasses) bWalksChain = bWalksChain || strPass != "reset";
    if (!bWalksChain) return true;

    std::string strLast;
    if (!plugin.ProvideLastVersion(strLast) || strLast != CStepTable::LastVersion()) {
        // Another plug-in than this command was built with: the plug-in checks for itself.
        std::cerr << "visitor-upgrade: warning: the plug-in upgrades to \"" << CEscapedText::Of(strLast)
                  << "\", this command knows the steps to " << CStepTable::LastVersion()
                  << ": --from and the delivered scripts are not checked before the run" << std::endl;
        return true;
    }
    const int nStart = CStepTable::FindStart(opt.from);
    if (nStart < 0) {
        nExitCode = Fail(2, "no upgrade step starts at --from " + CEscapedText::Of(opt.strFrom) +
                                ": the steps start at " + CStepTable::FromVersions() + " and end at " +
                                CStepTable::LastVersion() + "; nothing was sent");
        return false;
    }
    m_nChainStart = nStart;
    return true;
}

std::string CUpgradeRun::PassFailure(const std::string& strPass, bool bReportedSuccess, int nCode,
                                     const std::string& strText, const CLogRouter& router,
                                     const CProgressMonitor& monitor) const {
    std::string strLine = "pass " + strPass + " failed";
    const CScriptCheck::SScript* pScript = m_scripts.FoundIn(router.RecentFailureLines(), router.LastStepClass());
    if (pScript != nullptr) {
        strLine += " in script " + pScript->strShownPath;
        const int nLine = CScriptCheck::FailingLine(*pScript, strText);
        if (nLine > 0) strLine += " at line " + std::to_string(nLine);
    }
    const std::string strError = "error " + std::to_string(nCode) + ": " + COneLine::Of(strText);
    if (nCode != kLockTimeoutCode) return strLine + ": " + strError;

    const std::string strLimit = m_options.nLockTimeoutMs > 0 ? "--lock-timeout " + m_options.strLockTimeout
                                                              : std::string("the server's lock_timeout");
    const std::string strWentOn = bReportedSuccess ? "; the plug-in went on without that statement" : "";
    SLockWait wait;
    if (!monitor.LastWait(wait)) {
        return strLine + ": a lock wait exceeded " + strLimit + " before the monitor saw it (it looks every " +
               std::to_string(CProgressMonitor::kIntervalMs) + " ms)" + strWentOn + "; " + strError;
    }
    return strLine + ": " + wait.strOption + " waited longer than " + strLimit + " for " + CLockWatch::What(wait) +
           ", held by " + CLockWatch::Holder(wait) + strWentOn + "; rerun the pass once it is released (" +
           strError + ")";
}

bool CUpgradeRun::TakeLockOnOthers(CHostConnections& conns, int& nExitCode) const {
    struct SOther {
        const char* szOption;
        db_layer::CConnect* pConn;
    };
    // Without --db2 the second connection reaches the first's database: nothing to ask there.
    db_layer::CConnect* pSecond = m_options.bHasDb2 ? conns.Second() : nullptr;
    for (const SOther& other : {SOther{"--db2", pSecond}, SOther{"--db3", conns.Third()}}) {
        if (other.pConn == nullptr) continue;
        std::string strHolder;
        int nHolderPid = 0;
        const CModuleLock::EResult result = CModuleLock::TryTake(*other.pConn, kModuleIdentity, strHolder, nHolderPid);
        if (result == CModuleLock::EResult::kFailed) {
            nExitCode = Fail(1, LockFailed(other.szOption, strHolder));
            return false;
        }
        // The second may share the first's database (the default); the third may share neither.
        const bool bSecond = other.pConn == conns.Second();
        const bool bOwnFirst = nHolderPid != 0 && nHolderPid == conns.FirstPid();
        const bool bOwnSecond = !bSecond && nHolderPid != 0 && nHolderPid == conns.SecondPid();
        if (result == CModuleLock::EResult::kTaken || (bSecond && bOwnFirst)) continue;
        if (bOwnFirst || bOwnSecond) {
            nExitCode = Fail(2, std::string("--db3 reaches the database of ") + (bOwnFirst ? "--db1" : "--db2") +
                                    ": the incremental passes read the incremental database and remove what they "
                                    "moved from it, so it must be another database; not started");
        } else {
            nExitCode = Fail(2, HeldElsewhere((std::string("the database of ") + other.szOption).c_str(), strHolder));
        }
        return false;
    }
    return true;
}

bool CUpgradeRun::CheckUnchanged(CHostConnections& conns, int& nExitCode) const {
    // The scripts run on the second connection and, in the incremental passes, on the third.
    for (db_layer::CConnect* pConn : {conns.Second(), conns.Third()}) {
        if (pConn == nullptr) continue;
        CPlanScriptHistory history;
        std::string strError;
        if (!history.Read(*pConn, strError)) {
            nExitCode = Fail(1, "cannot read the script history: " + strError + "; nothing was sent");
            return false;
        }
        for (const CScriptCheck::SScript& script : m_scripts.Scripts()) {
            if (!history.Changed(script)) continue;
            nExitCode = Fail(1, "delivered script " + script.strShownPath + " changed since it ran successfully on " +
                                    history.LastRun(script)->strTime +
                                    " (sha256 then " + history.LastRun(script)->strSha256 + ", now " +
                                    script.strSha256 + "); give --allow-changed-scripts to run it; nothing was sent");
            return false;
        }
    }
    return true;
}

int CUpgradeRun::Execute() {
    const SRunOptions& opt = m_options;

    CPluginLibrary plugin;
    std::string strError;
    if (!plugin.Load(opt.strLibrary.empty() ? CPluginLibrary::DefaultPath() : opt.strLibrary, strError)) {
        return Fail(2, strError);
    }
    int nExitCode = 0;
    if (!CheckChain(plugin, nExitCode)) return nExitCode;
    // Set or removed, never inherited: a variable left in the operator's shell
    // must not change how this run copies records.
    if (opt.bBulk) {
        setenv(UnifiedUpgradeComponent::CBulkMode::kVariable, "1", 1);
    } else {
        unsetenv(UnifiedUpgradeComponent::CBulkMode::kVariable);
    }

    // The log file is opened before changing directory, so a relative path means what the user typed.
    CLogRouter router(isatty(STDERR_FILENO) == 1, opt.nLogLevel);
    if (!opt.strLogFile.empty() && !router.OpenFile(opt.strLogFile, strError)) {
        return Fail(2, strError);
    }

    const std::string strDb2 = opt.bHasDb2 ? opt.strDb2 : opt.strDb1;
    // The progress file too, for the same reason.
    CProgressMonitor monitor(router, kModuleIdentity, strDb2, opt.bHasDb3 ? opt.strDb3 : std::string());
    if (!opt.strProgressJson.empty() && !monitor.WriteJsonTo(opt.strProgressJson, strError)) {
        return Fail(2, "cannot open --progress-json " + opt.strProgressJson + ": " + strError);
    }
    monitor.SetChainStart(m_nChainStart);
    CHostConnections conns;
    if (!conns.Open(opt.strDb1, strDb2, opt.bHasDb3, opt.strDb3, strError) ||
        !conns.Prepare(opt.nLockTimeoutMs, strError)) {
        return Fail(2, strError);
    }

    std::string strHolder;
    int nHolderPid = 0;
    switch (CModuleLock::TryTake(*conns.First(), kModuleIdentity, strHolder, nHolderPid)) {
        case CModuleLock::EResult::kTaken:
            break;
        case CModuleLock::EResult::kHeldElsewhere:
            return Fail(2, HeldElsewhere("this database", strHolder));
        case CModuleLock::EResult::kFailed:
            return Fail(1, LockFailed("--db1", strHolder));
    }
    if (!TakeLockOnOthers(conns, nExitCode)) return nExitCode;
    // After every check that ends with exit 2, before the first write (the status rows).
    if (m_nChainStart >= 0 &&
        !m_scripts.Check(opt.strWorkdir, CStepTable::ScriptsNeeded(m_nChainStart, opt.vecPasses), strError)) {
        return Fail(1, strError);
    }
    if (m_nChainStart >= 0 && !opt.bAllowChangedScripts && !CheckUnchanged(conns, nExitCode)) return nExitCode;

    bool bIncremental = false;
    for (const std::string& strPass : opt.vecPasses) {
        bIncremental = bIncremental || CCommandLine::NeedsThirdConnection(strPass);
    }
    struct STarget {
        const char* szOption;
        db_layer::CConnect* pConn;
    };
    const STarget targets[] = {{"--db1", conns.First()},
                               {"--db2", conns.Second()},
                               {"--db3", bIncremental ? conns.Third() : nullptr}};
    for (const STarget& target : targets) {
        if (target.pConn == nullptr) continue;
        bool bInserted = false;
        if (!CStatusRows::Ensure(*target.pConn, kModuleIdentity, opt.strFrom, bInserted, strError)) {
            return Fail(1, std::string("cannot prepare platform.module_version_status with ") + target.szOption +
                               ": " + strError);
        }
        if (bInserted) {
            std::cerr << "visitor-upgrade: " << target.szOption << ": added the status row of " << kModuleIdentity
                      << " with version_no '" << CStatusRows::kNarrowedVersionNo << "'" << std::endl;
        }
    }

    if (!opt.strWorkdir.empty() && chdir(opt.strWorkdir.c_str()) != 0) {
        return Fail(2, "cannot change into --workdir " + opt.strWorkdir);
    }

    router.Attach();
    monitor.Watch("--db1", opt.strDb1, conns.FirstPid());
    monitor.Watch("--db2", strDb2, conns.SecondPid());
    if (conns.Third() != nullptr) monitor.Watch("--db3", opt.strDb3, conns.ThirdPid());
    monitor.Start();

    const db_layer::DBParam param = conns.Param();
    // New appointment ids (db_layer::GloballySerial) are keys of the appointment
    // table of the database the records passes write to (--db2).
    db_layer::SetSerialSource(db_layer::CSequenceSerialSource::AsSerialSource(
        std::make_shared<db_layer::CSequenceSerialSource>(strDb2, "visitor.visitor_appoint_record", "id")));
    for (const std::string& strPass : opt.vecPasses) {
        monitor.BeginPass(strPass);
        const auto start = std::chrono::steady_clock::now();
        bool bOk = false;
        if (strPass == "config") {
            bOk = plugin.RunUpgrade_Config(opt.strFrom, conns.First(), conns.Second(), param);
        } else if (strPass == "records") {
            bOk = plugin.RunUpgrade_Records(opt.strFrom, conns.First(), conns.Second(), param);
        } else if (strPass == "config-incr") {
            bOk = plugin.RunUpgrade_Config_IncreData(opt.strFrom, conns.First(), conns.Second(), conns.Third(), param);
        } else if (strPass == "records-incr") {
            bOk = plugin.RunUpgrade_Records_IncreData(opt.strFrom, conns.First(), conns.Second(), conns.Third(),
                                                      param);
        } else {
            bOk = plugin.RunUpgrade_ResetPKorSEQ(opt.strFrom, conns.First(), conns.Second(), conns.Third(), param);
        }
        const double dSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        int nCode = 0;
        std::string strText;
        plugin.GetLastError(nCode, strText);
        // The plug-in goes on past a failed status marker; a marker that timed
        // out on a lock left the pass incomplete. No earlier pass of this run
        // can have left that code: it would have ended the run.
        const bool bLockTimedOut = nCode == kLockTimeoutCode;
        monitor.EndPass(bOk && !bLockTimedOut);
        if (!bOk || bLockTimedOut) {
            monitor.Stop();
            router.Detach();
            return Fail(1, PassFailure(strPass, bOk, nCode, strText, router, monitor));
        }
        char szSeconds[32];
        std::snprintf(szSeconds, sizeof(szSeconds), "%.2f", dSeconds);
        router.PrintLine("visitor-upgrade: pass " + strPass + " finished in " + szSeconds + " s");
    }
    monitor.Stop();
    router.Detach();
    return 0;
}

}  // namespace VisitorUpgradeHost
