#include "VerifyChecks.h"

#include "Upgrade/ModuleConstants.h"
#include "Upgrade/SqlText.h"

namespace VisitorUpgradeHost {

namespace {

using UnifiedUpgradeComponent::CSqlText;
using UnifiedUpgradeComponent::MODULE_IDENTITY;
using UnifiedUpgradeComponent::MODULE_LAST_VERSION;

// The record tables whose ids the duplicate removal makes unique and whose sub-tables it gives a key.
const char* const kRecordTables[] = {"visitor.visitor_appoint_record", "visitor.visitor_appoint_reveiw_record",
                                     "visitor.visitor_record"};

// The fields the visit record copy writes, in its order.
const char* const kCopiedVisitFields[] = {
    "object_guid",       "visitor_id",       "interviewee_id", "visit_reason",  "visit_reason_detail",
    "visitor_status",    "start_valid_time", "end_valid_time", "create_time",   "update_time",
    "start_time_differ", "end_time_differ",  "temper",         "temper_status", "is_deleted"};

// The copied fields joined by strSeparator, each written as strPattern with "%f" for its name.
std::string EachCopiedField(const std::string& strPattern, const std::string& strSeparator) {
    std::string strList;
    for (const char* szField : kCopiedVisitFields) {
        std::string strOne = strPattern;
        for (size_t nAt = strOne.find("%f"); nAt != std::string::npos; nAt = strOne.find("%f", nAt)) {
            strOne.replace(nAt, 2, szField);
        }
        strList += (strList.empty() ? "" : strSeparator) + strOne;
    }
    return strList;
}

// A stored text as a key shows it: quoted, or NULL.
std::string Shown(const std::string& strColumn) { return "coalesce(quote_literal(" + strColumn + "), 'NULL')"; }

// One query per record table, joined by UNION ALL; "%t" stands for the table's name.
std::string EachRecordTable(const std::string& strPattern) {
    std::string strSql;
    for (const char* szTable : kRecordTables) {
        std::string strOne = strPattern;
        for (size_t nAt = strOne.find("%t"); nAt != std::string::npos; nAt = strOne.find("%t", nAt)) {
            strOne.replace(nAt, 2, szTable);
        }
        strSql += (strSql.empty() ? "" : " UNION ALL ") + strOne;
    }
    return strSql;
}

std::string RecordTablesAsRegclass() {
    std::string strList;
    for (const char* szTable : kRecordTables) {
        strList += (strList.empty() ? "'" : ", '") + std::string(szTable) + "'::regclass";
    }
    return strList;
}

std::vector<SVerifyCheck> MakeChecks() {
    const std::string strFields = EachCopiedField("%f", ", ");
    std::vector<SVerifyCheck> vecChecks;

    const std::string strModule = CSqlText::Literal(MODULE_IDENTITY);
    const std::string strLast = CSqlText::Literal(MODULE_LAST_VERSION);
    vecChecks.push_back(
        {"status_rows", EVerifyDatabase::kModule,
         std::string("the module's status rows are finished at ") + MODULE_LAST_VERSION, "", "",
         "SELECT count(*) FROM platform.module_version_status WHERE module_identity = " + strModule,
         "SELECT 0::bigint AS o, format('version_no %s: status %s, step_ver %s', " + Shown("version_no") +
             ", coalesce(status::text, 'NULL'), " + Shown("step_ver") +
             ") AS k FROM platform.module_version_status WHERE module_identity = " + strModule +
             " AND (status IS DISTINCT FROM 1 OR step_ver IS DISTINCT FROM " + strLast +
             ") UNION ALL SELECT 0, " + CSqlText::Literal(std::string("no status row of ") + MODULE_IDENTITY) +
             " WHERE NOT EXISTS (SELECT 1 FROM platform.module_version_status WHERE module_identity = " +
             strModule + ")"});

    // First one hash join of source and copies on all copied fields: when no source record is
    // left unmatched, the pairs number the source records and the copies matched number them
    // too, then every source record has exactly one equal copy and no other source record
    // shares it. Only when that proof fails (a fault, or source records equal in every field)
    // the exact form runs: source and copies counted per tuple of all copied fields in one
    // aggregation, a tuple whose counts differ was lost, doubled or changed. GROUP BY takes
    // NULLs as equal, so records without or with a repeated object_guid are compared by all
    // their fields; the join's "=" never matches a NULL, which only sends it to the exact form.
    const std::string strEveryCopyOnce =
        "SELECT count(*) FILTER (WHERE c.copy IS NULL) = 0 AND count(*) FILTER (WHERE s.source AND c.copy) = "
        "ns.sources AND count(*) FILTER (WHERE s.source IS NULL) = nc.copies - ns.sources FROM (SELECT true AS "
        "source, " +
        strFields + " FROM rt_data.visitor_record) s FULL JOIN (SELECT true AS copy, " + strFields +
        " FROM visitor.visitor_record) c ON " + EachCopiedField("c.%f = s.%f", " AND ") +
        " CROSS JOIN (SELECT count(*) AS sources FROM rt_data.visitor_record) ns CROSS JOIN (SELECT count(*) AS "
        "copies FROM visitor.visitor_record) nc GROUP BY ns.sources, nc.copies";
    vecChecks.push_back(
        {"visit_records", EVerifyDatabase::kModule,
         "every source visit record is in visitor.visitor_record exactly once with equal values",
         "SELECT to_regclass('rt_data.visitor_record') IS NOT NULL AS applies",
         "rt_data.visitor_record does not exist: no source to compare", "SELECT count(*) FROM rt_data.visitor_record",
         "SELECT min(id) AS o, format('object_guid %s (source id %s): %s in the source, %s with equal values in "
         "visitor.visitor_record', " +
             Shown("object_guid") +
             ", min(id), sum(source), sum(copy)) AS k FROM (SELECT id, 1 AS source, 0 AS copy, " + strFields +
             " FROM rt_data.visitor_record UNION ALL SELECT NULL, 0, 1, " + strFields +
             " FROM visitor.visitor_record) u WHERE (" + strEveryCopyOnce + ") IS NOT TRUE GROUP BY " + strFields +
             " HAVING sum(source) > 0 AND sum(source) <> sum(copy)"});

    // Appointments and processes meet through the flow number: appoint_approval_flow_id = process_num.
    // Process type 4 is the visitor appointment's; other modules' processes are not looked at.
    const std::string strProcessesPerNumber =
        "(SELECT process_num AS f, count(*) AS n FROM officeworkflow.approve_process WHERE process_type = 4 "
        "GROUP BY 1)";
    vecChecks.push_back({"appointment_processes", EVerifyDatabase::kModule,
                         "every appointment has exactly one approval process numbered with its flow number", "", "",
                         "SELECT count(*) FROM visitor.visitor_appoint_record",
                         "SELECT a.id AS o, format('appointment id %s, flow number %s: %s approval processes', a.id, " +
                             Shown("a.appoint_approval_flow_id") +
                             ", coalesce(p.n, 0)) AS k FROM visitor.visitor_appoint_record a LEFT JOIN " +
                             strProcessesPerNumber +
                             " p ON p.f = a.appoint_approval_flow_id "
                             "WHERE coalesce(a.appoint_approval_flow_id, '') = '' OR coalesce(p.n, 0) <> 1"});

    // The conversion takes the live review records of status 0, 2 and 3.
    vecChecks.push_back(
        {"review_conversions", EVerifyDatabase::kModule,
         "every review record the conversion takes has exactly one appointment and one approval process", "", "",
         "SELECT count(*) FROM visitor.visitor_appoint_reveiw_record WHERE is_deleted = 0 AND "
         "appoint_review_status IN (0, 2, 3)",
         "SELECT r.id::bigint AS o, format('review record id %s, flow number %s: %s appointments, %s approval "
         "processes', r.id, " +
             Shown("r.appoint_approval_flow_id") +
             ", coalesce(a.n, 0), coalesce(p.n, 0)) AS k FROM visitor.visitor_appoint_reveiw_record r "
             "LEFT JOIN (SELECT appoint_approval_flow_id AS f, count(*) AS n FROM visitor.visitor_appoint_record "
             "GROUP BY 1) a ON a.f = r.appoint_approval_flow_id LEFT JOIN " +
             strProcessesPerNumber +
             " p ON p.f = r.appoint_approval_flow_id WHERE r.is_deleted = 0 AND r.appoint_review_status IN (0, 2, 3) "
             "AND "
             "(coalesce(r.appoint_approval_flow_id, '') = '' OR coalesce(a.n, 0) <> 1 OR coalesce(p.n, 0) <> 1)"});

    vecChecks.push_back(
        {"processes_with_appointment", EVerifyDatabase::kModule,
         "every approval process of an appointment has its appointment", "", "",
         "SELECT count(*) FROM officeworkflow.approve_process WHERE process_type = 4",
         "SELECT p.id::bigint AS o, format('approval process id %s, number %s: no appointment carries it', p.id, " +
             Shown("p.process_num") +
             ") AS k FROM officeworkflow.approve_process p WHERE p.process_type = 4 AND NOT EXISTS (SELECT 1 FROM "
             "visitor.visitor_appoint_record a WHERE a.appoint_approval_flow_id = p.process_num)"});

    // A query on a parent reads its sub-tables too: an id in two sub-tables shows as one id twice.
    vecChecks.push_back(
        {"record_ids", EVerifyDatabase::kModule,
         "no id is held twice in the record tables, sub-tables included", "", "",
         "SELECT sum(n) FROM (" + EachRecordTable("SELECT count(*) AS n FROM %t") + ") c",
         EachRecordTable("SELECT d.id::bigint AS o, format('%t id %s: %s rows (%s)', d.id, count(*), "
                         "string_agg(x.tableoid::regclass::text, ', ' ORDER BY x.tableoid::regclass::text)) AS k "
                         "FROM (SELECT id FROM %t GROUP BY id HAVING count(*) > 1) d JOIN %t x ON x.id = d.id "
                         "GROUP BY d.id")});

    vecChecks.push_back(
        {"sub_table_keys", EVerifyDatabase::kModule, "every sub-table of the record tables has its primary key on id",
         "", "",
         "SELECT count(*) FROM pg_inherits WHERE inhparent IN (" + RecordTablesAsRegclass() + ")",
         "SELECT 0::bigint AS o, format('%s (sub-table of %s): no primary key on id', i.inhrelid::regclass, "
         "i.inhparent::regclass) AS k FROM pg_inherits i WHERE i.inhparent IN (" +
             RecordTablesAsRegclass() +
             ") AND NOT EXISTS (SELECT 1 FROM pg_constraint c WHERE c.conrelid = i.inhrelid AND c.contype = 'p' "
             "AND pg_get_constraintdef(c.oid) = 'PRIMARY KEY (id)')"});

    vecChecks.push_back(
        {"check_point_sets", EVerifyDatabase::kModule,
         "the live check points of each element form one set (none of them twice)", "", "",
         "SELECT count(DISTINCT element_id) FROM visitor.visit_checkout_point WHERE is_deleted = 0",
         "SELECT element_id::bigint AS o, format('element %s: %s', element_id, string_agg(format('reader %s type "
         "%s live %s times', cardreader_id, type, n), ', ' ORDER BY cardreader_id, type)) AS k FROM ("
         "SELECT element_id, cardreader_id, type, count(*) AS n FROM visitor.visit_checkout_point "
         "WHERE is_deleted = 0 GROUP BY element_id, cardreader_id, type HAVING count(*) > 1) g GROUP BY element_id"});

    // The move takes the live templates of the incremental database and empties its table.
    vecChecks.push_back(
        {"templates_moved", EVerifyDatabase::kIncremental,
         "no template that the configuration pass moves is left in the incremental database", "", "",
         "SELECT count(*) FROM visitor.emailtemplate",
         "SELECT id::bigint AS o, format('template id %s, type %s: still in the incremental database', id, "
         "template_type) AS k FROM visitor.emailtemplate WHERE isdeleted = 0"});
    return vecChecks;
}

}  // namespace

const std::vector<SVerifyCheck>& CVerifyChecks::All() {
    static const std::vector<SVerifyCheck> vecChecks = MakeChecks();
    return vecChecks;
}

std::string CVerifyChecks::RunSql(const SVerifyCheck& check) {
    return "WITH bad AS (" + check.strOffendingSql + "), first AS (SELECT o, k FROM bad ORDER BY o, k LIMIT " +
           std::to_string(kKeysShown) + ") SELECT c.checked, c.offending, f.k FROM (SELECT coalesce((" +
           check.strCheckedSql +
           "), 0)::text AS checked, (SELECT count(*) FROM bad)::text AS offending) c LEFT JOIN first f ON true "
           "ORDER BY f.o, f.k";
}

}  // namespace VisitorUpgradeHost
