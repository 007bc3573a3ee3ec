// Rows the configuration pass of CRawTo100 collects from the platform's group
// and person tables before it writes: plain values, held for one call only.
#pragma once
#include <string>

namespace UnifiedUpgradeComponent {

// A platform person group of type 2 (visitor group), or one visit group to write.
struct stru_visit_group {
    int id = 0;
    std::string name;
    bool name_is_null = false;  // written back as NULL, never as ''
};

// A visitor person and the platform group it belongs to.
struct stru_group_member {
    int id = 0;
    int person_group_id = 0;
};

}  // namespace UnifiedUpgradeComponent
