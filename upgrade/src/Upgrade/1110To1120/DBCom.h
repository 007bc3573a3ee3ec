// The three connection wrappers of the incremental records pass, in the host's
// order. Built at the start of that pass and handed on by reference; the
// wrappers borrow the host's connections for the length of the pass.
#pragma once
#include "Upgrade/DBAccessConn.h"

namespace UnifiedUpgradeComponent {

struct stru_db_com {
    DBAccessConnPtr first_connect;   // reads status, check points and review records
    DBAccessConnPtr cms_up_connect;  // id draws, flow number look-ups, review-derived rows
    DBAccessConnPtr third_connect;   // appointment records, script, flags, resume position
};

}  // namespace UnifiedUpgradeComponent
