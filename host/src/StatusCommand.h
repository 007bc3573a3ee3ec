// `visitor-upgrade status`: prints the module's rows of the status table, one
// line each, from a connection of its own. Sends nothing but one SELECT.
#pragma once
#include <string>

namespace VisitorUpgradeHost {

class CStatusCommand {
public:
    explicit CStatusCommand(std::string strDb1);
    // 0 printed, 1 the query failed, 2 the database cannot be reached.
    int Execute();

private:
    const std::string m_strDb1;
};

}  // namespace VisitorUpgradeHost
