// Rows of the check point rebuild: a live check point as read, and a check
// point row to be written. Plain values, filled by the step's row readers.
#pragma once

namespace UnifiedUpgradeComponent {

// One live check point: its element and the resource the element stands for
// (the id of a door when the element is one).
struct stru_door_point {
    int element_id = -1;
    int resource_id = -1;
};

// The type of a check point row, and what its cardreader_id then holds.
constexpr int kCheckPointElementAlone = 6;  // 0: the element alone
constexpr int kCheckPointCardReader = 8;    // a card reader of the element's door
constexpr int kCheckPointComponent = 9;     // a component related to the element

// One check point row to write.
struct stru_check_point_info {
    int element_id = -1;
    int cardreader_id = 0;
    int type = kCheckPointElementAlone;
};

}  // namespace UnifiedUpgradeComponent
