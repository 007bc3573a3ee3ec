// visitor-upgrade: runs, rehearses and inspects upgrades of the visitor module's
// database through the upgrade plug-in, as the platform's host would.
#include <iostream>

#include "CommandLine.h"
#include "PlanCommand.h"
#include "PluginLibrary.h"
#include "StatusCommand.h"
#include "UpgradeRun.h"
#include "VerifyCommand.h"

using namespace VisitorUpgradeHost;

namespace {

int PrintVersion(const std::string& strLibrary) {
    CPluginLibrary plugin;
    std::string strError;
    if (!plugin.Load(strLibrary.empty() ? CPluginLibrary::DefaultPath() : strLibrary, strError)) {
        std::cerr << "visitor-upgrade: " << strError << std::endl;
        return 2;
    }
    std::string strVersion;
    if (!plugin.ProvideLastVersion(strVersion)) {
        std::cerr << "visitor-upgrade: the plug-in gave no version" << std::endl;
        return 1;
    }
    std::cout << strVersion << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CCommandLine commandLine;
    int nExitCode = 0;
    if (!commandLine.Parse(argc, argv, nExitCode)) {
        return nExitCode;
    }
    switch (commandLine.Command()) {
        case ECommand::kVersion:
            return PrintVersion(commandLine.VersionLibrary());
        case ECommand::kRun:
            return CUpgradeRun(commandLine.Run()).Execute();
        case ECommand::kStatus:
            return CStatusCommand(commandLine.Status().strDb1).Execute();
        case ECommand::kVerify:
            return CVerifyCommand(commandLine.Verify()).Execute();
        case ECommand::kPlan:
            return CPlanCommand(commandLine.Plan()).Execute();
        case ECommand::kNone:
            break;
    }
    return 2;
}
