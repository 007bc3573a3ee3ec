#include "StatusCommand.h"

#include <iostream>
#include <vector>

#include "HostConnections.h"
#include "StatusRows.h"
#include "Upgrade/ModuleConstants.h"

namespace VisitorUpgradeHost {

CStatusCommand::CStatusCommand(std::string strDb1) : m_strDb1(std::move(strDb1)) {}

int CStatusCommand::Execute() {
    std::string strError;
    auto pConn = CHostConnections::OpenOne(m_strDb1, "--db1", strError);
    if (!pConn) {
        std::cerr << "visitor-upgrade: " << strError << std::endl;
        return 2;
    }
    std::vector<SStatusRow> vecRows;
    if (!CStatusRows::Read(*pConn, UnifiedUpgradeComponent::MODULE_IDENTITY, vecRows, strError)) {
        std::cerr << "visitor-upgrade: cannot read platform.module_version_status: " << strError << std::endl;
        return 1;
    }
    for (const SStatusRow& row : vecRows) {
        std::cout << CStatusRows::Format(row) << '\n';
    }
    std::cout.flush();
    return 0;
}

}  // namespace VisitorUpgradeHost
