// One visit record of rt_data.visitor_record as the records pass of CRawTo100
// copies it: times stay the texts the server gave, and every column remembers
// whether it was NULL so that NULL is written back as NULL. Held for one range.
#pragma once
#include <bitset>
#include <string>

#include "db_layer/CConnect.h"

namespace UnifiedUpgradeComponent {

struct stru_visitor_record {
    // The columns copied, in the order of the INSERT statement.
    enum EColumn {
        OBJECT_GUID, VISITOR_ID, INTERVIEWEE_ID, VISIT_REASON, VISIT_REASON_DETAIL, VISITOR_STATUS,
        START_VALID_TIME, END_VALID_TIME, CREATE_TIME, UPDATE_TIME, START_TIME_DIFFER, END_TIME_DIFFER,
        TEMPER, TEMPER_STATUS, IS_DELETED, COLUMN_COUNT
    };

    int id = -1;  // not read: the target table keys its rows itself
    std::string object_guid;
    int visitor_id = -1;
    int interviewee_id = -1;
    int visit_reason = -1;
    std::string visit_reason_detail;
    int visitor_status = -1;
    std::string start_valid_time;
    std::string end_valid_time;
    std::string create_time;
    std::string update_time;
    int start_time_differ = 0;
    int end_time_differ = 0;
    std::string temper;
    int temper_status = 2;
    int is_deleted = 0;
    std::bitset<COLUMN_COUNT> nulls;  // set for each column that was NULL in the source row

    // Reads the current row of a query result (columns by name).
    static stru_visitor_record ReadFrom(db_layer::CConnect& conn);

    bool IsNull(EColumn eColumn) const { return nulls.test(eColumn); }
    // The value for a statement text: NULL, or the quoted text / the number.
    std::string TextValue(EColumn eColumn, const std::string& strValue) const;
    std::string IntValue(EColumn eColumn, int nValue) const;
};

}  // namespace UnifiedUpgradeComponent
