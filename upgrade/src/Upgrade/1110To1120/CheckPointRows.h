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

// One check point row to write. type 8: cardreader_id is a card reader of the
// element's door; 9: a component related to the element; 6: the element alone (0).
struct stru_check_point_info {
    int element_id = -1;
    int cardreader_id = 0;
    int type = 6;
};

}  // namespace UnifiedUpgradeComponent
