#include "Upgrade/RawTo100/VisitorRecordRow.h"

#include <utility>

#include "Upgrade/SqlText.h"

namespace UnifiedUpgradeComponent {

namespace {
// std::string: the connection takes column names as strings, once per field and row.
const std::string kColumnNames[stru_visitor_record::COLUMN_COUNT] = {
    "object_guid",      "visitor_id",     "interviewee_id", "visit_reason",      "visit_reason_detail",
    "visitor_status",   "start_valid_time", "end_valid_time", "create_time",     "update_time",
    "start_time_differ", "end_time_differ", "temper",        "temper_status",    "is_deleted"};
}

stru_visitor_record stru_visitor_record::ReadFrom(db_layer::CConnect& conn) {
    stru_visitor_record row;
    // The connection reads NULL as "" or 0, so only those values need the
    // second look-up that tells NULL apart; a NULL column keeps the element's
    // initial value and is marked, and the marked columns are written as NULL.
    auto text = [&](EColumn eColumn, std::string& strOut) {
        std::string strValue = conn.GetString(kColumnNames[eColumn]);
        if (strValue.empty() && conn.IsNull(kColumnNames[eColumn]))
            row.nulls.set(eColumn);
        else
            strOut = std::move(strValue);
    };
    auto number = [&](EColumn eColumn, int& nOut) {
        const int nValue = conn.GetInt(kColumnNames[eColumn]);
        if (nValue == 0 && conn.IsNull(kColumnNames[eColumn]))
            row.nulls.set(eColumn);
        else
            nOut = nValue;
    };
    text(OBJECT_GUID, row.object_guid);
    number(VISITOR_ID, row.visitor_id);
    number(INTERVIEWEE_ID, row.interviewee_id);
    number(VISIT_REASON, row.visit_reason);
    text(VISIT_REASON_DETAIL, row.visit_reason_detail);
    number(VISITOR_STATUS, row.visitor_status);
    text(START_VALID_TIME, row.start_valid_time);
    text(END_VALID_TIME, row.end_valid_time);
    text(CREATE_TIME, row.create_time);
    text(UPDATE_TIME, row.update_time);
    number(START_TIME_DIFFER, row.start_time_differ);
    number(END_TIME_DIFFER, row.end_time_differ);
    text(TEMPER, row.temper);
    number(TEMPER_STATUS, row.temper_status);
    number(IS_DELETED, row.is_deleted);
    return row;
}

std::string stru_visitor_record::TextValue(EColumn eColumn, const std::string& strValue) const {
    return CSqlText::NullableLiteral(strValue, IsNull(eColumn));
}

std::string stru_visitor_record::IntValue(EColumn eColumn, int nValue) const {
    return IsNull(eColumn) ? std::string("NULL") : std::to_string(nValue);
}

}  // namespace UnifiedUpgradeComponent
