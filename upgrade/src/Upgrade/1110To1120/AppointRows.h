// Rows of the approval migration: an appointment record and an appointment
// review record as read by the batch queries. Text columns come as the text the
// database returns; each keeps whether it was NULL, so NULL is written back as NULL.
#pragma once
#include <string>

namespace UnifiedUpgradeComponent {

struct stru_appoint_record {
    int id = -1;
    int visitor_id = -1;
    int interviewee_id = -1;
    std::string start_valid_time;
    std::string end_valid_time;
    int start_time_differ = 0;
    int end_time_differ = 0;
    std::string create_time;
    std::string update_time;
    int is_deleted = -1;
    int row_status_implicit_upgrade = -1;  // read by the incremental query only
    // What a conversion wrote; non-empty means the record is already tied to a process.
    std::string appoint_approval_flow_id;

    bool start_valid_time_null = false;
    bool end_valid_time_null = false;
    bool create_time_null = false;
    bool update_time_null = false;
};

struct stru_appoint_review_record {
    int id = -1;
    int appoint_review_status = -1;
    int visit_reason_id = -1;
    std::string visit_reason_detail;
    int visitor_id = -1;
    int interviewee_id = -1;
    std::string start_valid_time;
    std::string end_valid_time;
    int start_time_differ = 0;
    int end_time_differ = 0;
    std::string object_guid;
    int visitor_group_id = -1;
    std::string create_time;
    std::string update_time;
    // What a conversion wrote; non-empty means the record already has its appointment.
    std::string appoint_approval_flow_id;

    bool visit_reason_detail_null = false;
    bool start_valid_time_null = false;
    bool end_valid_time_null = false;
    bool object_guid_null = false;
    bool create_time_null = false;
    bool update_time_null = false;
};

}  // namespace UnifiedUpgradeComponent
