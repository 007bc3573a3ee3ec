#include "CommandLine.h"

#include <CLI/CLI.hpp>
#include <iostream>

namespace VisitorUpgradeHost {

namespace {

const std::vector<std::string> kPassNames = {"config", "records", "config-incr", "records-incr", "reset"};

}  // namespace

bool CCommandLine::NeedsThirdConnection(const std::string& strPass) {
    return strPass == "config-incr" || strPass == "records-incr";
}

bool CCommandLine::Parse(int argc, char** argv, int& nExitCode) {
    CLI::App app{"Upgrades the database of the visitor module (visitor.s) through its upgrade plug-in.",
                 "visitor-upgrade"};
    app.require_subcommand(0, 1);

    bool bVersion = false;
    app.add_flag("--version", bVersion, "Print the last version the plug-in produces and exit");
    app.add_option("--library", m_strVersionLibrary, "Plug-in asked by --version (default: beside the command)");

    CLI::App* pRun = app.add_subcommand("run", "Run upgrade passes from an installed version");
    pRun->add_option("--from", m_run.strFrom, "Installed version, handed to the plug-in as typed")->required();
    pRun->add_option("--pass", m_run.vecPasses, "Passes in order: config, records, config-incr, records-incr, reset")
        ->required()
        ->delimiter(',')
        ->check(CLI::IsMember(kPassNames));
    pRun->add_option("--db1", m_run.strDb1, "libpq connection string of the first connection")->required();
    CLI::Option* pDb2 = pRun->add_option("--db2", m_run.strDb2,
                                         "Second connection (default: another connection to db1's database)");
    CLI::Option* pDb3 = pRun->add_option("--db3", m_run.strDb3,
                                         "Third connection (incremental database); needed by config-incr, records-incr");
    pRun->add_option("--workdir", m_run.strWorkdir, "Directory holding META_INFO/ (default: current directory)")
        ->check(CLI::ExistingDirectory);
    pRun->add_option("--library", m_run.strLibrary, "Plug-in to load (default: the one beside the command)");
    pRun->add_option("--log-file", m_run.strLogFile, "Append the plug-in's log here (default: stderr)");
    pRun->add_option("--log-level", m_run.nLogLevel, "Lowest level logged: 3 info, 4 warning, 5 error")
        ->check(CLI::IsMember({3, 4, 5}));

    CLI::App* pStatus = app.add_subcommand("status", "Print the module's rows of platform.module_version_status");
    pStatus->add_option("--db1", m_status.strDb1, "libpq connection string of the module database")->required();

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
                std::cerr << "visitor-upgrade: pass " << strPass << " needs --db3 (the incremental database)\n";
                nExitCode = 2;
                return false;
            }
        }
    } else if (*pStatus) {
        m_eCommand = ECommand::kStatus;
    } else if (bVersion) {
        m_eCommand = ECommand::kVersion;
    } else {
        std::cerr << "visitor-upgrade: name a command (run or status) or --version; see visitor-upgrade --help\n";
        nExitCode = 2;
        return false;
    }
    return true;
}

}  // namespace VisitorUpgradeHost
