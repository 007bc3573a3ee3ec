// One `visitor-upgrade run`: loads the plug-in, opens the connections, takes the
// module lock, prepares the status rows and calls the passes in the order given,
// stopping at the first that fails. Owns everything it opens for the run.
// Exit codes: 0 every pass true, 1 a pass (or the status preparation) failed,
// 2 usage, connection, plug-in or lock problems before anything ran.
#pragma once
#include <string>

#include "CommandLine.h"

namespace VisitorUpgradeHost {

class CUpgradeRun {
public:
    explicit CUpgradeRun(SRunOptions options);
    int Execute();

private:
    const SRunOptions m_options;
};

}  // namespace VisitorUpgradeHost
