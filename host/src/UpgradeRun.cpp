#include "UpgradeRun.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>

#include "HostConnections.h"
#include "LogRouter.h"
#include "ModuleLock.h"
#include "PluginLibrary.h"
#include "ProgressMonitor.h"
#include "StatusRows.h"
#include "OneLine.h"
#include "db_layer/SequenceSerialSource.h"

namespace VisitorUpgradeHost {

namespace {

constexpr const char* kModuleIdentity = "visitor.s";

int Fail(int nExitCode, const std::string& strLine) {
    std::cerr << "visitor-upgrade: " << strLine << std::endl;
    return nExitCode;
}


}  // namespace

CUpgradeRun::CUpgradeRun(SRunOptions options) : m_options(std::move(options)) {}

int CUpgradeRun::Execute() {
    const SRunOptions& opt = m_options;

    CPluginLibrary plugin;
    std::string strError;
    if (!plugin.Load(opt.strLibrary.empty() ? CPluginLibrary::DefaultPath() : opt.strLibrary, strError)) {
        return Fail(2, strError);
    }

    // The log file is opened before changing directory, so a relative path means what the user typed.
    CLogRouter router(isatty(STDERR_FILENO) == 1, opt.nLogLevel);
    if (!opt.strLogFile.empty() && !router.OpenFile(opt.strLogFile, strError)) {
        return Fail(2, strError);
    }

    const std::string strDb2 = opt.bHasDb2 ? opt.strDb2 : opt.strDb1;
    CHostConnections conns;
    if (!conns.Open(opt.strDb1, strDb2, opt.bHasDb3, opt.strDb3, strError)) {
        return Fail(2, strError);
    }

    std::string strHolder;
    switch (CModuleLock::TryTake(*conns.First(), kModuleIdentity, strHolder)) {
        case CModuleLock::EResult::kTaken:
            break;
        case CModuleLock::EResult::kHeldElsewhere:
            return Fail(2, "another upgrade of module " + std::string(kModuleIdentity) +
                               " is running on this database (" +
                               (strHolder.empty() ? std::string("holder unknown") : strHolder) +
                               "); not started");
        case CModuleLock::EResult::kFailed:
            return Fail(1, "cannot take the upgrade lock with --db1: " + COneLine::Of(strHolder));
    }

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
    CProgressMonitor monitor(router, kModuleIdentity, strDb2, opt.bHasDb3 ? opt.strDb3 : std::string());
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
        monitor.EndPass();
        if (!bOk) {
            monitor.Stop();
            router.Detach();
            int nCode = 0;
            std::string strText;
            plugin.GetLastError(nCode, strText);
            return Fail(1, "pass " + strPass + " failed: error " + std::to_string(nCode) + ": " + COneLine::Of(strText));
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
