#include "CommandLine.h"

#include <libpq-fe.h>

#include <CLI/CLI.hpp>
#include <cstring>
#include <iostream>

#include "Duration.h"
#include "EscapedText.h"

namespace VisitorUpgradeHost {

namespace {

const std::vector<std::string> kPassNames = {"config", "records", "config-incr", "records-incr", "reset"};

const char* const kPasswordHelp =
    "Passwords: write none into --db1/--db2/--db3, where every local user can read it in the process list. "
    "libpq takes the password from the environment variable PGPASSWORD, from the password file that PGPASSFILE "
    "names, or from ~/.pgpass (lines host:port:database:user:password, the file readable by its owner only).";

// True when libpq reads a non-empty password from the connection string (key=value or URI form).
bool HasPassword(const std::string& strConnInfo) {
    char* szError = nullptr;
    PQconninfoOption* pOptions = PQconninfoParse(strConnInfo.c_str(), &szError);
    if (szError != nullptr) PQfreemem(szError);
    if (pOptions == nullptr) return false;
    bool bFound = false;
    for (const PQconninfoOption* pOption = pOptions; pOption->keyword != nullptr; ++pOption) {
        bFound = bFound || (std::strcmp(pOption->keyword, "password") == 0 && pOption->val != nullptr &&
                            pOption->val[0] != '\0');
    }
    PQconninfoFree(pOptions);
    return bFound;
}

void WarnOfPassword(const std::string& strOption, const std::string& strConnInfo) {
    if (!HasPassword(strConnInfo)) return;
    std::cerr << "visitor-upgrade: warning: the password in " << strOption
              << " can be read by every local user in the process list; give it by PGPASSWORD, PGPASSFILE or "
                 "~/.pgpass instead (see --help)\n";
}

bool UsageError(const std::string& strLine, int& nExitCode) {
    std::cerr << "visitor-upgrade: " << strLine << "\n";
    nExitCode = 2;
    return false;
}

}  // namespace

bool CCommandLine::NeedsThirdConnection(const std::string& strPass) {
    return strPass == "config-incr" || strPass == "records-incr";
}

bool CCommandLine::Parse(int argc, char** argv, int& nExitCode) {
    CLI::App app{"Upgrades the database of the visitor module (visitor.s) through its upgrade plug-in.",
                 "visitor-upgrade"};
    app.require_subcommand(0, 1);
    app.footer(kPasswordHelp);

    bool bVersion = false;
    app.add_flag("--version", bVersion, "Print the last version the plug-in produces and exit");
    app.add_option("--library", m_strVersionLibrary, "Plug-in asked by --version (default: beside the command)");

    CLI::App* pRun = app.add_subcommand("run", "Run upgrade passes from an installed version");
    pRun->footer(kPasswordHelp);
    pRun->add_option("--from", m_run.strFrom,
                     "Installed version: three dot-separated decimal numbers (e.g. 1.15.0), handed to the plug-in "
                     "as typed")
        ->required();
    pRun->add_option("--pass", m_run.vecPasses, "Passes in order: config, records, config-incr, records-incr, reset")
        ->required()
        ->delimiter(',')
        ->check(CLI::IsMember(kPassNames));
    pRun->add_option("--db1", m_run.strDb1, "libpq connection string of the first connection")->required();
    CLI::Option* pDb2 = pRun->add_option("--db2", m_run.strDb2,
                                         "Second connection (default: another connection to db1's database)");
    CLI::Option* pDb3 = pRun->add_option("--db3", m_run.strDb3,
                                         "Third connection (incremental database, not db1's or db2's); needed by config-incr, records-incr");
    pRun->add_option("--workdir", m_run.strWorkdir, "Directory holding META_INFO/ (default: current directory)")
        ->check(CLI::ExistingDirectory);
    pRun->add_option("--library", m_run.strLibrary, "Plug-in to load (default: the one beside the command)");
    pRun->add_option("--log-file", m_run.strLogFile, "Append the plug-in's log here (default: stderr)");
    pRun->add_option("--progress-json", m_run.strProgressJson,
                     "Append the progress as one JSON object per line here (pass, step, table, done, total, rate, "
                     "eta_s, status), for monitoring tools");
    pRun->add_option("--log-level", m_run.nLogLevel, "Lowest level logged: 3 info, 4 warning, 5 error")
        ->check(CLI::IsMember({3, 4, 5}));
    pRun->add_option("--lock-timeout", m_run.strLockTimeout,
                     "Fail the pass when one statement waits longer than this for a lock (e.g. 500ms, 3s, 2min; "
                     "default: wait); a rerun resumes");

    pRun->add_flag("--allow-changed-scripts", m_run.bAllowChangedScripts,
                   "Run even when a delivered script changed since it ran successfully on the database");
    pRun->add_flag("--bulk", m_run.bBulk,
                   "Copy the records passes' key ranges and batches with set-based statements (faster; a failing "
                   "range or batch is redone one row at a time, so failures read as without it)");

    CLI::App* pPlan = app.add_subcommand("plan", "Show what a run would do, writing nothing");
    pPlan->footer(kPasswordHelp);
    pPlan->add_option("--db1", m_plan.strDb1, "libpq connection string of the module database")->required();
    pPlan->add_option("--db3", m_plan.strDb3, "Incremental database: plans the incremental passes too");
    pPlan->add_option("--from", m_plan.strFrom, "Installed version (default: the module's status row)");
    pPlan->add_option("--workdir", m_plan.strWorkdir, "Directory holding META_INFO/ (default: current directory)")
        ->check(CLI::ExistingDirectory);
    pPlan->add_flag("--json", m_plan.bJson, "Print the plan as one JSON document");

    CLI::App* pStatus = app.add_subcommand("status", "Print the module's rows of platform.module_version_status");
    pStatus->footer(kPasswordHelp);
    pStatus->add_option("--db1", m_status.strDb1, "libpq connection string of the module database")->required();

    CLI::App* pVerify =
        app.add_subcommand("verify", "Check, reading only, that an upgraded database holds what the upgrade leaves");
    pVerify->footer(kPasswordHelp);
    pVerify->add_option("--db1", m_verify.strDb1, "libpq connection string of the module database")->required();
    CLI::Option* pVerifyDb3 =
        pVerify->add_option("--db3", m_verify.strDb3, "Incremental database: check that no template was left there");
    pVerify->add_flag("--json", m_verify.bJson, "Print one JSON document instead of lines");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        nExitCode = 0;
        return false;
    } catch (const CLI::CallForAllHelp&) {
        std::cout << app.help("", CLI::AppFormatMode::All);
        nExitCode = 0;
        return false;
    } catch (const CLI::ParseError& e) {
        // CLI11 prints help for the subcommand on "--help"; other errors are usage errors.
        if (e.get_exit_code() == 0) {
            app.exit(e);
            nExitCode = 0;
            return false;
        }
        std::cerr << "visitor-upgrade: " << e.what() << " (see visitor-upgrade --help)\n";
        nExitCode = 2;
        return false;
    }

    if (*pRun) {
        m_eCommand = ECommand::kRun;
        m_run.bHasDb2 = pDb2->count() > 0;
        m_run.bHasDb3 = pDb3->count() > 0;
        for (const std::string& strPass : m_run.vecPasses) {
            if (NeedsThirdConnection(strPass) && !m_run.bHasDb3) {
                return UsageError("pass " + strPass + " needs --db3 (the incremental database)", nExitCode);
            }
        }
        if (!CVersionArgument::Parse(m_run.strFrom, m_run.from)) {
            return UsageError("--from \"" + CEscapedText::Of(m_run.strFrom) + "\" is not a version: expected " +
                                  CVersionArgument::kExpectedForm,
                              nExitCode);
        }
        if (!m_run.strLockTimeout.empty() &&
            !CDuration::ParseMilliseconds(m_run.strLockTimeout, m_run.nLockTimeoutMs)) {
            return UsageError("--lock-timeout \"" + CEscapedText::Of(m_run.strLockTimeout) +
                                  "\" is not a duration: expected " + CDuration::kExpectedForm,
                              nExitCode);
        }
        WarnOfPassword("--db1", m_run.strDb1);
        if (m_run.bHasDb2) WarnOfPassword("--db2", m_run.strDb2);
        if (m_run.bHasDb3) WarnOfPassword("--db3", m_run.strDb3);
    } else if (*pPlan) {
        m_eCommand = ECommand::kPlan;
        if (!m_plan.strFrom.empty() && !CVersionArgument::Parse(m_plan.strFrom, m_plan.from)) {
            return UsageError("--from \"" + CEscapedText::Of(m_plan.strFrom) + "\" is not a version: expected " +
                                  CVersionArgument::kExpectedForm,
                              nExitCode);
        }
        WarnOfPassword("--db1", m_plan.strDb1);
        if (!m_plan.strDb3.empty()) WarnOfPassword("--db3", m_plan.strDb3);
    } else if (*pStatus) {
        m_eCommand = ECommand::kStatus;
        WarnOfPassword("--db1", m_status.strDb1);
    } else if (*pVerify) {
        m_eCommand = ECommand::kVerify;
        WarnOfPassword("--db1", m_verify.strDb1);
        m_verify.bHasDb3 = pVerifyDb3->count() > 0;
        if (m_verify.bHasDb3) WarnOfPassword("--db3", m_verify.strDb3);
    } else if (bVersion) {
        m_eCommand = ECommand::kVersion;
    } else {
        std::cerr << "visitor-upgrade: name a command (run, status, plan or verify) or --version; "
                     "see visitor-upgrade --help\n";
        nExitCode = 2;
        return false;
    }
    return true;
}

}  // namespace VisitorUpgradeHost
