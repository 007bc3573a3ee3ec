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
    // In bulk mode the connections of cms_up_connect and third_connect, for the
    // batches' set-based statements; null in the default mode.
    db_layer::CConnect* cms_up_bulk = nullptr;
    db_layer::CConnect* third_bulk = nullptr;
};

}  // namespace UnifiedUpgradeComponent
