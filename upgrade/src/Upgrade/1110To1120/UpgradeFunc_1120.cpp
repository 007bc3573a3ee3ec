#include "Upgrade/1110To1120/UpgradeFunc_1120.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "Qarn/Base/StringUtil.h"
#include "Upgrade/1110To1120/BulkBatch.h"
#include "Upgrade/1110To1120/DatabaseIdentity.h"
#include "Upgrade/1110To1120/KeyRangeWalk.h"
#include "Upgrade/1110To1120/SetRows.h"
#include "Upgrade/BulkMode.h"
#include "Upgrade/LogPosition.h"
#include "Upgrade/ModuleConstants.h"
#include "Upgrade/PassMarker.h"
#include "Upgrade/SqlText.h"
#include "db_layer/ErrorCodes.h"
#include "db_layer/GloballySerial.h"

namespace UnifiedUpgradeComponent {

namespace {

const SStepLiterals kLiterals = {"C1110ToC1120", "1.11.0", "1.12.0", "update_V1.8.0", "1.12.0", " "};

// Ids of rows derived from review records lie this far above the drawn values.
constexpr int kReviewIdOffset = 1000000;
// The code a batch fails with when db_layer::GloballySerial gives no id that a
// 32-bit key walk over the appointment table could read back.
constexpr int kNoAppointmentIdCode = -7;

using Qarn::Base::StringUtil::str_fmt;

// Check points.
const char* const kSelectCheckPoints =
    "SELECT l.element_id, r.resource_id FROM visitor.visit_checkout_point l, platform.element r WHERE l.is_deleted = "
    "0 and l.element_id = r.id ; ";
const char* const kSelectCardReaders =
    "select cr.id from deviceaccess.card_reader cr, deviceaccess.door dr where cr.device_id = dr.device_id and "
    "(cr.card_reader_index = (dr.door_index * 2) or cr.card_reader_index = (dr.door_index * 2 - 1))and dr.id = %d; ";
const char* const kSelectComponents =
    "SELECT re.related_source_id FROM platform.element el, platform.resource_related re WHERE el.id = re.source_id "
    "AND el.id = %d; ";
const char* const kSoftDeleteCheckPoints =
    "UPDATE visitor.visit_checkout_point SET is_deleted = 1 ,update_time = '%s' WHERE is_deleted = 0;";
const char* const kNextCheckPointId = "SELECT nextVal('visitor.visit_checkout_point_id_seq')";
const char* const kInsertCheckPoint =
    "INSERT INTO visitor.visit_checkout_point(id ,element_id, cardreader_id ,type, create_time, update_time "
    ",is_deleted)VALUES (%d, %d, %d, %d,'%s', '%s',0) ;";

// Self-appointment flags.
const char* const kSelectChecks = "SELECT user_id FROM visitor.self_appoint_setting WHERE appoint_check = %d";
const char* const kSetChecks =
    "UPDATE visitor.self_appoint_setting SET appoint_check = %d ,update_time = '%s' WHERE user_id IN (%s)";

// Records. Key ranges end at start + 100, formatted in 64 bits so that a range
// at the top of the 32-bit keys does not wrap.
const char* const kSelectAppointBatch = "SELECT * FROM visitor.visitor_appoint_record WHERE id BETWEEN %d AND %lld;";
const char* const kSelectReviewBatch =
    "SELECT * FROM visitor.visitor_appoint_reveiw_record WHERE appoint_review_status IN (0,2,3)  and is_deleted = 0  "
    "AND id BETWEEN %d AND %lld;";
const char* const kNextProcessId = "SELECT nextVal('officeworkflow.approve_process_id_seq')";
const char* const kNextNodeId = "SELECT nextVal('officeworkflow.approve_process_node_id_seq')";
const char* const kLinkAppoint =
    "UPDATE visitor.visitor_appoint_record SET appoint_approval_flow_id = '%s',submit_person_type = %d , "
    "submit_person_id = %d WHERE id = %d;";
// Time columns are written with CSqlText::NullableLiteral: %s without quotes.
const char* const kInsertProcess =
    "INSERT INTO officeworkflow.approve_process(id, process_num,process_type, applicant_id, approve_flow_id, "
    "next_approve_node_id, agnet_user_id ,status ,is_auto_approval,create_time ,update_time , is_deleted)VALUES "
    "(%d,'%s',%d,%d,%d,%d,%d,%d,%d ,%s,%s,%d);";
const char* const kInsertNode =
    "INSERT INTO officeworkflow.approve_process_node(id, approve_process_id,approve_flow_node_id, serial_num, "
    "node_status, approver_id ,approval_comment,approver_type ,approval_time,create_time ,update_time "
    ",is_deleted)VALUES (%d,%d,%d,%d,%d,%d,'%s',%d,%s,%s,%s,%d);";
const char* const kInsertReviewAppoint =
    "INSERT INTO visitor.visitor_appoint_record(appoint_approval_flow_id,submit_person_type,submit_person_id ,id "
    ",object_guid ,visitor_id,interviewee_id,visit_reason_id ,visit_reason_detail,appointment_status "
    ",start_valid_time,end_valid_time,start_time_differ,end_time_differ,create_time,update_time,qr_code_valid_num "
    ")VALUES ('%s',%d,%d ,%lld,%s,%d,%d,%d,%s,%d,%s,%s,%d,%d,%s,%s,%d);";
const char* const kInsertReviewProcess =
    "INSERT INTO officeworkflow.approve_process(id, process_num,process_type, applicant_id, approve_flow_id, "
    "next_approve_node_id, agnet_user_id ,status,abnormal_cause ,is_auto_approval,create_time ,update_time "
    ",is_deleted)VALUES (%d,'%s',%d,%d,%d,%d,%d,%d,%d,%d ,%s,%s,%d);";
const char* const kLinkReview =
    "UPDATE visitor.visitor_appoint_reveiw_record SET appoint_approval_flow_id = '%s' WHERE id = %d;";

// Incremental records.
const char* const kTakeOverFlowNum =
    "UPDATE visitor.visitor_appoint_record SET appoint_approval_flow_id = '%s' WHERE id = %d;";
const char* const kInsertProcessIncre =
    "INSERT INTO officeworkflow.approve_process(id, process_num,process_type, applicant_id, approve_flow_id, "
    "next_approve_node_id, agnet_user_id ,status ,is_auto_approval,create_time ,update_time , "
    "row_status_implicit_upgrade, related_id_implicit_upgrade, is_deleted)VALUES (%d,'%s',%d,%d,%d,%d,%d,%d,%d "
    ",%s,%s, %d, %d, %d);";
const char* const kInsertNodeIncre =
    "INSERT INTO officeworkflow.approve_process_node(id, approve_process_id,approve_flow_node_id, serial_num, "
    "node_status, approver_id ,approval_comment,approver_type ,approval_time,create_time ,update_time , "
    "row_status_implicit_upgrade, related_id_implicit_upgrade, is_deleted)VALUES "
    "(%d,%d,%d,%d,%d,%d,'%s',%d,%s,%s,%s,%d, %d, %d);";
const char* const kSelectAppointById = "SELECT * FROM visitor.visitor_appoint_record WHERE id = %d ;";
const char* const kSoftDeleteReviewAppoints =
    "UPDATE visitor.visitor_appoint_record a SET is_deleted = 1 ,update_time = '%s' WHERE a.appoint_approval_flow_id "
    "= ( select r.appoint_approval_flow_id from visitor.visitor_appoint_reveiw_record r where "
    "a.appoint_approval_flow_id = r.appoint_approval_flow_id)  ;";
const char* const kSoftDeleteReviewProcesses =
    "UPDATE officeworkflow.approve_process a SET is_deleted = 1 ,update_time = '%s' WHERE a.process_num = ( select "
    "r.appoint_approval_flow_id from visitor.visitor_appoint_reveiw_record r where a.process_num = "
    "r.appoint_approval_flow_id)  ;";

// Marks of this step beside the shared ones: the incremental check point
// rebuild on the database it writes (the second connection's, which may also be
// the third's), and the soft deletion of the incremental records pass there.
const char* const kIncrementalCheckPoints = "incremental_check_point_rebuild";
const char* const kReviewSoftDeletion = "incremental_review_soft_deletion";
// The review keys of one incremental batch, marked in its transaction on the
// database the batch writes: "<prefix><first key> <last key>".
const char* const kReviewRangePrefix = "incremental_reviews_converted ";

const char* const kStatusFailed = "[%s][C1110ToC1120::UpgradeCourse_Records] Query status info failed[%s(%d)]";
const char* const kPassStart = "[%s][C1110ToC1120::UpgradeCourse_Records] UpgradeCourse_Records start![%s(%d)]";
const char* const kPassEnd = "[%s][C1110ToC1120::UpgradeCourse_Records] UpgradeCourse_Records end![%s(%d)]";
const char* const kTableFailed =
    "[%s][C1110ToC1120::RecordsData2Destination_VisitorRecord] %s step 1 upgrade failed[%s(%d)]";
const char* const kCheckPointFailed =
    "[%s]UpgradeCourse_Config_CheakPoint failed, Error Code:%d, Error Info:%s.[%s(%d)]";
// Bulk mode standing down on one connection for the rest of a records pass (see m_setBulkStoodDown).
const char* const kBulkStandsDown =
    "[%s]bulk mode: a set-based statement was refused where the batch's own statements were not (code %d: %s); "
    "the rest of this pass writes one statement per row on that connection.[%s(%d)]";
// A refusal that the same statement could pass when sent again: its SQLSTATE's
// class is 40 (a deadlock, a serialization failure), 55 (a lock not available)
// or 57 (a cancel, a shutdown). It says nothing about the schema.
bool PassingRefusal(int nCode) {
    const int kClass = 36 * 36 * 36;  // the last three of the code's five base-36 digits
    for (const char* szClass : {"40000", "55000", "57000"})
        if (nCode > 0 && nCode / kClass == db_layer::SqlStateToCode(szClass) / kClass) return true;
    return false;
}

const char* const kBatchTextFailed =
    "[%s][C1110To1120::InsertEventRecord] Insert Record Failed.Sql:%s, Error Code:%d, Error Info:%s[%s(%d)]";
const char* const kBatchQueryFailed = "[%s]errorcode:%d, errorinfo:%s[%s(%d)]";

std::string Nullable(const std::string& strValue, bool bNull) { return CSqlText::NullableLiteral(strValue, bNull); }

// A flow number on the row means a conversion has already tied it to a process.
bool IsConverted(const std::string& strFlowNum) { return !strFlowNum.empty(); }

struct SReviewMapping {
    int nAppointmentStatus;
    int nProcessStatus;
    int nAbnormalCause;
};

SReviewMapping MapReviewStatus(int nReviewStatus) {
    switch (nReviewStatus) {
        case 2: return {9, 3, 0};
        case 3: return {1, 5, 3};
        default: return {8, 0, 0};
    }
}

// The workflow values of the rows a conversion writes, by column. An
// appointment record's process and node take them as they are; a review
// record's differ where ReviewProcess and ReviewNode say.
struct SProcessColumns {
    int process_type = 4;
    int approve_flow_id = -1;
    int next_approve_node_id = 1;
    int agnet_user_id = 1;
    int status = 1;
    int abnormal_cause = 0;  // a column of the review form's statement only
    int is_auto_approval = 1;
};

struct SNodeColumns {
    int approve_flow_node_id = -1;
    int serial_num = 1;
    int node_status = 1;
    int approver_id = 1;
    const char* approval_comment = "";
    int approver_type = 0;
};

// A review record's process: no agent, not approved automatically, with the
// status and abnormal cause that its review status maps to.
SProcessColumns ReviewProcess(const SReviewMapping& mapping) {
    SProcessColumns process;
    process.agnet_user_id = -1;
    process.status = mapping.nProcessStatus;
    process.abnormal_cause = mapping.nAbnormalCause;
    process.is_auto_approval = 0;
    return process;
}

SNodeColumns ReviewNode() {
    SNodeColumns node;
    node.node_status = 2;
    return node;
}

// What a batch asks of one connection before its statement text is built (id
// draws, flow number look-ups): every statement with its reader, sent together
// in the order one at a time would send them. Statement n was answered when
// n < nAnswered; the first one that was not holds the wrapper's stored failure.
struct SBatchQueries {
    std::vector<std::string> vecSql;
    std::vector<RowReader> vecReaders;
    std::size_t nAnswered = 0;

    std::size_t Add(std::string strSql, RowReader fnReader) {
        vecSql.push_back(std::move(strSql));
        vecReaders.push_back(std::move(fnReader));
        return vecSql.size() - 1;
    }
    void Send(CDBAccessConn& conn) { nAnswered = conn.QueryBatch(vecSql, vecReaders); }
};

// The two ids a converted record takes from the workflow's sequences.
struct SWorkflowIds {
    int nProcess = -1;
    int nNode = -1;
};

// Adds the process and the node draw of every record, in that order per record.
std::size_t AddWorkflowDraws(SBatchQueries& queries, SWorkflowIds& ids) {
    const std::size_t nFirst = queries.Add(kNextProcessId, RowReaders::FirstIntAt0(ids.nProcess));
    queries.Add(kNextNodeId, RowReaders::FirstIntAt0(ids.nNode));
    return nFirst;
}

// Later walks read appointment keys as 32-bit integers.
bool IsAppointmentId(long long llId) { return llId > 0 && llId <= INT_MAX; }

// Written alike on every converted appointment, and on every workflow row.
constexpr int kSubmitPersonType = 0;  // submit_person_type
constexpr int kSubmitPersonId = 1;    // submit_person_id
constexpr int kQrCodeValidNum = 0;    // qr_code_valid_num of an appointment made from a review record
constexpr int kNotDeleted = 0;        // is_deleted
// The incremental pass's change markers on the workflow rows it adds.
constexpr int kRowStatusImplicitUpgrade = 1;
constexpr int kRelatedIdImplicitUpgrade = 0;

// A node row; its approval_time is the record's creation time.
std::string NodeRow(int nNodeId, int nProcessId, const SNodeColumns& node, const std::string& strCreate,
                    const std::string& strUpdate, bool bIncrementalMarkers) {
    if (bIncrementalMarkers)
        return str_fmt(kInsertNodeIncre, nNodeId, nProcessId, node.approve_flow_node_id, node.serial_num,
                       node.node_status, node.approver_id, node.approval_comment, node.approver_type, strCreate.c_str(),
                       strCreate.c_str(), strUpdate.c_str(), kRowStatusImplicitUpgrade, kRelatedIdImplicitUpgrade,
                       kNotDeleted);
    return str_fmt(kInsertNode, nNodeId, nProcessId, node.approve_flow_node_id, node.serial_num, node.node_status,
                   node.approver_id, node.approval_comment, node.approver_type, strCreate.c_str(), strCreate.c_str(),
                   strUpdate.c_str(), kNotDeleted);
}

// Reads a text column and whether it was NULL.
void ReadText(db_layer::CConnect& conn, const char* szColumn, std::string& strValue, bool& bNull) {
    bNull = conn.IsNull(szColumn);
    strValue = bNull ? std::string() : conn.GetString(szColumn);
}

// The columns that appointment and review records share, read alike for both.
template <class TRecord>
void ReadSharedColumns(db_layer::CConnect& conn, TRecord& record) {
    record.id = conn.GetInt("id");
    record.visitor_id = conn.GetInt("visitor_id");
    record.interviewee_id = conn.GetInt("interviewee_id");
    ReadText(conn, "start_valid_time", record.start_valid_time, record.start_valid_time_null);
    ReadText(conn, "end_valid_time", record.end_valid_time, record.end_valid_time_null);
    record.start_time_differ = conn.GetInt("start_time_differ");
    record.end_time_differ = conn.GetInt("end_time_differ");
    ReadText(conn, "create_time", record.create_time, record.create_time_null);
    ReadText(conn, "update_time", record.update_time, record.update_time_null);
    record.appoint_approval_flow_id = conn.GetString("appoint_approval_flow_id");
}

// The check points of one element, one per row: the id in szColumn, of the given type.
RowReader CollectCheckPoints(std::vector<stru_check_point_info>& vecInfo, int nElementId, const char* szColumn,
                             int nType) {
    return RowReaders::Collect(vecInfo, [nElementId, szColumn, nType](db_layer::CConnect& conn) {
        stru_check_point_info info;
        info.element_id = nElementId;
        info.cardreader_id = conn.GetInt(szColumn);
        info.type = nType;
        return info;
    });
}

CKeyRangeWalk::SSettings WalkOver(const char* szTable, const std::string& strLogName, DBAccessConnPtr pRangeConn,
                                  DBAccessConnPtr pBatchConn, DBAccessConnPtr pProgressConn) {
    CKeyRangeWalk::SSettings settings;
    settings.szTable = szTable;
    settings.szLogName = strLogName.c_str();
    settings.pRangeConn = std::move(pRangeConn);
    settings.pBatchConn = std::move(pBatchConn);
    settings.pProgressConn = std::move(pProgressConn);
    return settings;
}

template <class Row>
using BatchQuery = bool (C1110ToC1120::*)(int&, std::string&, std::vector<Row>&, int*, DBAccessConnPtr);

// One table's walk: the batch query fills one list, the conversion takes it.
template <class Row>
struct STableWalk {
    BatchQuery<Row> pfnQuery = nullptr;
    DBAccessConnPtr pQueryConn;
    // Optional: rows that an earlier run converted, left out of their batch.
    std::function<bool(const Row&)> fnConverted;
    // Converts the rows left of the range that starts at nStartKey; runs inside the batch transaction.
    std::function<bool(const std::vector<Row>&, int nStartKey)> fnConvert;
};

template <class Row>
bool WalkTable(C1110ToC1120& step, int& nErrorCode, std::string& strErrorInfo, CKeyRangeWalk::SSettings settings,
               const STableWalk<Row>& table, int nSchedule, int nStartPosition) {
    std::vector<Row> vecBatch;
    int nBatchStart = 0;
    settings.fnQuery = [&](int* pStartKey, std::size_t& nRowsRead) {
        vecBatch.clear();
        nBatchStart = *pStartKey;
        const bool bOk = (step.*table.pfnQuery)(nErrorCode, strErrorInfo, vecBatch, pStartKey, table.pQueryConn);
        nRowsRead = vecBatch.size();
        return bOk;
    };
    if (table.fnConverted)
        settings.fnDropConverted = [&]() {
            vecBatch.erase(std::remove_if(vecBatch.begin(), vecBatch.end(), table.fnConverted), vecBatch.end());
            return vecBatch.size();
        };
    settings.fnConvert = [&]() { return table.fnConvert(vecBatch, nBatchStart); };
    return CKeyRangeWalk(step, std::move(settings)).Run(nErrorCode, strErrorInfo, nSchedule, nStartPosition);
}

// Appointments of the incremental database marked 2 or 3 take over the flow
// number of the module database's appointment with their id.
bool TakesOverFlowNumber(const stru_appoint_record& record) {
    return record.row_status_implicit_upgrade == 2 || record.row_status_implicit_upgrade == 3;
}

// Key ranges [from, to] of the marks, by their first key.
std::map<long long, long long> ConvertedReviewRanges(const std::set<std::string>& setMarks) {
    std::map<long long, long long> mapRanges;
    for (const std::string& strMark : setMarks) {
        if (strMark.rfind(kReviewRangePrefix, 0) != 0) continue;
        long long llFrom = 0;
        long long llTo = 0;
        if (std::sscanf(strMark.c_str() + std::strlen(kReviewRangePrefix), "%lld %lld", &llFrom, &llTo) == 2)
            mapRanges[llFrom] = llTo;
    }
    return mapRanges;
}

bool InRanges(const std::map<long long, long long>& mapRanges, long long llKey) {
    // A range holds 101 keys: only ranges that start at most 100 below the key can hold it.
    for (auto it = mapRanges.lower_bound(llKey - CKeyRangeWalk::kBatchWidth);
         it != mapRanges.end() && it->first <= llKey; ++it)
        if (it->second >= llKey) return true;
    return false;
}

// The flow number: the first ten characters of the creation time without '-', then the process id.
std::string MakeFlowNumber(const std::string& strCreateTime, int nProcessId) {
    const std::string strDate = Qarn::Base::StringUtil::StringReplace(strCreateTime.substr(0, 10), "-", "");
    return strDate + std::to_string(nProcessId);
}

// The process and node rows of a converted appointment record; the
// incremental pass adds its change markers (1, 0) to both.
std::string AppointWorkflowRows(const stru_appoint_record& record, const std::string& strFlowNum, int nProcessId,
                                int nNodeId, bool bIncrementalMarkers) {
    const std::string strCreate = Nullable(record.create_time, record.create_time_null);
    const std::string strUpdate = Nullable(record.update_time, record.update_time_null);
    const std::string strFlow = CSqlText::Escape(strFlowNum);
    const SProcessColumns process;
    const std::string strNode = NodeRow(nNodeId, nProcessId, SNodeColumns(), strCreate, strUpdate, bIncrementalMarkers);
    if (bIncrementalMarkers)
        return str_fmt(kInsertProcessIncre, nProcessId, strFlow.c_str(), process.process_type, record.interviewee_id,
                       process.approve_flow_id, process.next_approve_node_id, process.agnet_user_id, process.status,
                       process.is_auto_approval, strCreate.c_str(), strUpdate.c_str(), kRowStatusImplicitUpgrade,
                       kRelatedIdImplicitUpgrade, kNotDeleted) +
               strNode;
    return str_fmt(kInsertProcess, nProcessId, strFlow.c_str(), process.process_type, record.interviewee_id,
                   process.approve_flow_id, process.next_approve_node_id, process.agnet_user_id, process.status,
                   process.is_auto_approval, strCreate.c_str(), strUpdate.c_str(), kNotDeleted) +
           strNode;
}

// ---------------------------------------------------------------- bulk mode

// One statement draws the process and node ids of every record of a batch:
// each row draws the process id, then the node id, rows in the series' order,
// so the values are those that one draw after another gives the records.
const char* const kDrawWorkflowIds =
    "SELECT nextval('officeworkflow.approve_process_id_seq')::integer, "
    "nextval('officeworkflow.approve_process_node_id_seq')::integer FROM generate_series(1, %d);";

bool DrawAllWorkflowIds(CBulkBatch& bulk, std::vector<SWorkflowIds>& vecIds) {
    return bulk.Active() &&
           bulk.Query(str_fmt(kDrawWorkflowIds, static_cast<int>(vecIds.size())), [&vecIds](db_layer::CConnect& conn) {
               std::size_t i = 0;
               for (; i < vecIds.size() && !conn.IsEOF(); ++i, conn.MoveNext()) {
                   vecIds[i].nProcess = conn.GetInt(0);
                   vecIds[i].nNode = conn.GetInt(1);
               }
               return i == vecIds.size();
           });
}

// Whether a batch can be written in the set-based form: it has rows, and no
// key twice (one statement per row leaves a key given twice with its last
// row's values, a set-based update with either); otherwise it goes the default way.
template <class Row>
bool SetFormFits(const std::vector<Row>& vecRows) {
    std::set<int> setKeys;
    for (const Row& row : vecRows)
        if (!setKeys.insert(row.id).second) return false;
    return !vecRows.empty();
}

using SetRow = std::vector<CSetRows::SValue>;

std::string Number(long long llValue) { return std::to_string(llValue); }

// The incremental change markers, when asked for, and is_deleted: the columns
// that close every workflow row.
void CloseWorkflowRow(SetRow& row, bool bIncrementalMarkers) {
    if (bIncrementalMarkers) {
        row.push_back({"row_status_implicit_upgrade", "integer", Number(kRowStatusImplicitUpgrade)});
        row.push_back({"related_id_implicit_upgrade", "integer", Number(kRelatedIdImplicitUpgrade)});
    }
    row.push_back({"is_deleted", "integer", Number(kNotDeleted)});
}

// The columns and values of the default mode's process statements, for an
// appointment or a review record: a review record's names abnormal_cause, the
// incremental pass's its markers.
template <class TRecord>
SetRow ProcessSetRow(const TRecord& record, int nId, const std::string& strFlowNum, const SProcessColumns& process,
                     bool bAbnormalCause, bool bIncrementalMarkers) {
    SetRow row = {{"id", "integer", Number(nId)},
                  {"process_num", "text", strFlowNum},
                  {"process_type", "integer", Number(process.process_type)},
                  {"applicant_id", "integer", Number(record.interviewee_id)},
                  {"approve_flow_id", "integer", Number(process.approve_flow_id)},
                  {"next_approve_node_id", "integer", Number(process.next_approve_node_id)},
                  {"agnet_user_id", "integer", Number(process.agnet_user_id)},
                  {"status", "integer", Number(process.status)}};
    if (bAbnormalCause) row.push_back({"abnormal_cause", "integer", Number(process.abnormal_cause)});
    row.push_back({"is_auto_approval", "integer", Number(process.is_auto_approval)});
    row.push_back({"create_time", "timestamp", record.create_time, record.create_time_null});
    row.push_back({"update_time", "timestamp", record.update_time, record.update_time_null});
    CloseWorkflowRow(row, bIncrementalMarkers);
    return row;
}

// A node row; its approval_time is the record's creation time.
template <class TRecord>
SetRow NodeSetRow(const TRecord& record, int nNodeId, int nProcessId, const SNodeColumns& node,
                  bool bIncrementalMarkers) {
    SetRow row = {{"id", "integer", Number(nNodeId)},
                  {"approve_process_id", "integer", Number(nProcessId)},
                  {"approve_flow_node_id", "integer", Number(node.approve_flow_node_id)},
                  {"serial_num", "integer", Number(node.serial_num)},
                  {"node_status", "integer", Number(node.node_status)},
                  {"approver_id", "integer", Number(node.approver_id)},
                  {"approval_comment", "text", node.approval_comment},
                  {"approver_type", "integer", Number(node.approver_type)},
                  {"approval_time", "timestamp", record.create_time, record.create_time_null},
                  {"create_time", "timestamp", record.create_time, record.create_time_null},
                  {"update_time", "timestamp", record.update_time, record.update_time_null}};
    CloseWorkflowRow(row, bIncrementalMarkers);
    return row;
}

// What one batch writes, in one of two forms: the default mode's text (one
// statement per row, record after record), or in bulk mode the rows of each
// table, sent as one set-based statement per table in the order below.
struct SBatchWrites {
    explicit SBatchWrites(bool bSetForm) : bSet(bSetForm) {}

    bool bSet;
    std::string strText;
    CSetRows appointments{"visitor.visitor_appoint_record"};  // made from review records
    CSetRows links{"visitor.visitor_appoint_record"};         // flow number and submitter
    CSetRows takeOvers{"visitor.visitor_appoint_record"};     // flow number only
    CSetRows processes{"officeworkflow.approve_process"};
    CSetRows nodes{"officeworkflow.approve_process_node"};
    CSetRows reviewLinks{"visitor.visitor_appoint_reveiw_record"};

    std::string Finish() const {
        if (!bSet) return strText;
        std::string strOut;
        for (const CSetRows* pRows : {&appointments, &processes, &nodes})
            if (!pRows->Empty()) strOut += pRows->Insert();
        for (const CSetRows* pRows : {&links, &takeOvers, &reviewLinks})
            if (!pRows->Empty()) strOut += pRows->UpdateByFirstColumn();
        return strOut;
    }
};

// An appointment record tied to its new process: its link, process and node.
void AddAppointWrites(SBatchWrites& writes, const stru_appoint_record& record, int nProcessId, int nNodeId,
                      bool bIncrementalMarkers) {
    const std::string strFlowNum = MakeFlowNumber(record.create_time, nProcessId);
    if (!writes.bSet) {
        writes.strText +=
            str_fmt(kLinkAppoint, CSqlText::Escape(strFlowNum).c_str(), kSubmitPersonType, kSubmitPersonId, record.id);
        writes.strText += AppointWorkflowRows(record, strFlowNum, nProcessId, nNodeId, bIncrementalMarkers);
        return;
    }
    writes.links.Add({{"id", "integer", Number(record.id)},
                      {"appoint_approval_flow_id", "text", strFlowNum},
                      {"submit_person_type", "integer", Number(kSubmitPersonType)},
                      {"submit_person_id", "integer", Number(kSubmitPersonId)}});
    writes.processes.Add(ProcessSetRow(record, nProcessId, strFlowNum, SProcessColumns(), false, bIncrementalMarkers));
    writes.nodes.Add(NodeSetRow(record, nNodeId, nProcessId, SNodeColumns(), bIncrementalMarkers));
}

// An incremental appointment taking over the flow number looked up for it.
void AddFlowTakeOver(SBatchWrites& writes, const stru_appoint_record& record, const std::string& strFlowNum) {
    if (writes.bSet)
        writes.takeOvers.Add({{"id", "integer", Number(record.id)}, {"appoint_approval_flow_id", "text", strFlowNum}});
    else
        writes.strText += str_fmt(kTakeOverFlowNum, CSqlText::Escape(strFlowNum).c_str(), record.id);
}

// A review record converted: its new appointment, process and node, and its link.
void AddReviewWrites(SBatchWrites& writes, const stru_appoint_review_record& record, long long llAppointId,
                     int nProcessId, int nNodeId) {
    const std::string strFlowNum = MakeFlowNumber(record.create_time, nProcessId);
    const SReviewMapping mapping = MapReviewStatus(record.appoint_review_status);
    const SProcessColumns process = ReviewProcess(mapping);
    if (!writes.bSet) {
        const std::string strFlow = CSqlText::Escape(strFlowNum);
        const std::string strCreate = Nullable(record.create_time, record.create_time_null);
        const std::string strUpdate = Nullable(record.update_time, record.update_time_null);
        writes.strText += str_fmt(
            kInsertReviewAppoint, strFlow.c_str(), kSubmitPersonType, kSubmitPersonId, llAppointId,
            Nullable(record.object_guid, record.object_guid_null).c_str(), record.visitor_id, record.interviewee_id,
            record.visit_reason_id, Nullable(record.visit_reason_detail, record.visit_reason_detail_null).c_str(),
            mapping.nAppointmentStatus, Nullable(record.start_valid_time, record.start_valid_time_null).c_str(),
            Nullable(record.end_valid_time, record.end_valid_time_null).c_str(), record.start_time_differ,
            record.end_time_differ, strCreate.c_str(), strUpdate.c_str(), kQrCodeValidNum);
        writes.strText += str_fmt(kInsertReviewProcess, nProcessId, strFlow.c_str(), process.process_type,
                                  record.interviewee_id, process.approve_flow_id, process.next_approve_node_id,
                                  process.agnet_user_id, process.status, process.abnormal_cause,
                                  process.is_auto_approval, strCreate.c_str(), strUpdate.c_str(), kNotDeleted);
        // Every converted review gets its node: the workflow walks a process
        // through its nodes, and a process without one cannot be shown or closed.
        writes.strText += NodeRow(nNodeId, nProcessId, ReviewNode(), strCreate, strUpdate, false);
        writes.strText += str_fmt(kLinkReview, strFlow.c_str(), record.id);
        return;
    }
    writes.appointments.Add(
        {{"appoint_approval_flow_id", "text", strFlowNum},
         {"submit_person_type", "integer", Number(kSubmitPersonType)},
         {"submit_person_id", "integer", Number(kSubmitPersonId)},
         {"id", "bigint", Number(llAppointId)},
         {"object_guid", "text", record.object_guid, record.object_guid_null},
         {"visitor_id", "integer", Number(record.visitor_id)},
         {"interviewee_id", "integer", Number(record.interviewee_id)},
         {"visit_reason_id", "integer", Number(record.visit_reason_id)},
         {"visit_reason_detail", "text", record.visit_reason_detail, record.visit_reason_detail_null},
         {"appointment_status", "integer", Number(mapping.nAppointmentStatus)},
         {"start_valid_time", "timestamp", record.start_valid_time, record.start_valid_time_null},
         {"end_valid_time", "timestamp", record.end_valid_time, record.end_valid_time_null},
         {"start_time_differ", "integer", Number(record.start_time_differ)},
         {"end_time_differ", "integer", Number(record.end_time_differ)},
         {"create_time", "timestamp", record.create_time, record.create_time_null},
         {"update_time", "timestamp", record.update_time, record.update_time_null},
         {"qr_code_valid_num", "integer", Number(kQrCodeValidNum)}});
    writes.processes.Add(ProcessSetRow(record, nProcessId, strFlowNum, process, true, false));
    writes.nodes.Add(NodeSetRow(record, nNodeId, nProcessId, ReviewNode(), false));
    writes.reviewLinks.Add({{"id", "integer", Number(record.id)}, {"appoint_approval_flow_id", "text", strFlowNum}});
}

}  // namespace

C1110ToC1120::C1110ToC1120() : CModuleUpgradeBase(kLiterals) {}

C1110ToC1120::~C1110ToC1120() = default;

// ---------------------------------------------------------------- configuration

bool C1110ToC1120::UpgradeCourse_Config(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                                        db_layer::CConnect* pSecondConn, db_layer::DBParam dbParam) {
    const std::string strName = QualifiedName("UpgradeCourse_Config");
    auto pFirst = std::make_shared<CDBAccessConn>(pFirstConn);
    auto pSecond = std::make_shared<CDBAccessConn>(pSecondConn);
    (void)pFirst;

    // Script, check point rebuild and flag inversion commit with the pass's mark:
    // a pass repeated after a kill, a later step's failure or a success changes
    // nothing. An earlier build marked the rebuild and the inversion one by one,
    // after running the script; what it marked is not done again.
    const auto fnWork = [&](const std::set<std::string>& setDone) {
        const bool bRebuilt = setDone.count(CPassMarker::kCheckPoints) > 0;
        const bool bInverted = setDone.count(CPassMarker::kSelfAppointFlags) > 0;
        if (!bRebuilt && !bInverted &&
            !RunStepScript(nErrorCode, strErrorInfo, dbParam, pSecond, "UpgradeCourse_Config"))
            return false;
        if (bRebuilt)
            UPG_LOG(LOG_INFO, "[%s]check points of %s were rebuilt by an earlier run and are left as they are[%s(%d)]",
                    strName.c_str(), Literals().szToVersion);
        if (bInverted)
            UPG_LOG(LOG_INFO,
                    "[%s]self-appointment checks of %s were inverted by an earlier run and are left as they "
                    "are[%s(%d)]",
                    strName.c_str(), Literals().szToVersion);
        if ((!bRebuilt && !UpgradeCourse_Config_CheakPoint(nErrorCode, strErrorInfo, dbParam, pSecond)) ||
            (!bInverted && !UpdateSelfAppointInfo(nErrorCode, strErrorInfo, dbParam, pSecond))) {
            UPG_LOG(LOG_ERROR, kCheckPointFailed, strName.c_str(), nErrorCode, strErrorInfo.c_str());
            return false;
        }
        return true;
    };
    return CPassMarker(Literals().szToVersion, strName)
        .RunOnceWithMarks(nErrorCode, strErrorInfo, CPassMarker::kConfiguration, pSecond, fnWork);
}

bool C1110ToC1120::UpgradeCourse_Config_CheakPoint(int& nErrorCode, std::string& strErrorInfo,
                                                   db_layer::DBParam dbParam, DBAccessConnPtr pConn) {
    return UpgradeCourse_Config_CheakPoint(nErrorCode, strErrorInfo, std::move(dbParam), pConn, pConn);
}

bool C1110ToC1120::UpgradeCourse_Config_CheakPoint(int& nErrorCode, std::string& strErrorInfo, db_layer::DBParam,
                                                   DBAccessConnPtr pReadConn, DBAccessConnPtr pWriteConn) {
    std::vector<stru_door_point> vecPoints;
    if (!QueryAllCheakDoorPoint(nErrorCode, strErrorInfo, vecPoints, pReadConn)) return false;

    std::vector<stru_check_point_info> vecAll;
    for (const stru_door_point& point : vecPoints) {
        std::vector<stru_check_point_info> vecPoint;
        if (!QueryCardReaderID(nErrorCode, strErrorInfo, vecPoint, pReadConn, point.resource_id, point)) return false;
        if (!QueryComponentID(nErrorCode, strErrorInfo, vecPoint, pReadConn, point)) return false;
        if (vecPoint.empty()) {
            stru_check_point_info alone;
            alone.element_id = point.element_id;
            alone.cardreader_id = 0;
            alone.type = kCheckPointElementAlone;
            vecPoint.push_back(alone);
        }
        vecAll.insert(vecAll.end(), vecPoint.begin(), vecPoint.end());
    }
    return InsertCheakPointInfo(nErrorCode, strErrorInfo, vecAll, pWriteConn);
}

bool C1110ToC1120::QueryAllCheakDoorPoint(int& nErrorCode, std::string& strErrorInfo,
                                          std::vector<stru_door_point>& vecPoints, DBAccessConnPtr pConn) {
    const std::string strSql = kSelectCheckPoints;
    const auto fnRead = [](db_layer::CConnect& conn) {
        stru_door_point point;
        point.element_id = conn.GetInt("element_id");
        point.resource_id = conn.GetInt("resource_id");
        return point;
    };
    if (pConn->ExecuteQuery(strSql, RowReaders::Collect(vecPoints, fnRead))) return true;
    return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
        UPG_LOG(LOG_ERROR,
                "[%s][C1110ToC1120::QueryAllCheakDoorPoint] Get CheakDoorPoint Failed.Sql:%s, Error Code:%d, Error "
                "Info:%s[%s(%d)]",
                QualifiedName("QueryAllCheakDoorPoint").c_str(), strSql.c_str(), nErrorCode, strErrorInfo.c_str());
    });
}

bool C1110ToC1120::QueryCardReaderID(int& nErrorCode, std::string& strErrorInfo,
                                     std::vector<stru_check_point_info>& vecInfo, DBAccessConnPtr pConn, int nDoorId,
                                     stru_door_point point) {
    const std::string strSql = str_fmt(kSelectCardReaders, nDoorId);
    if (pConn->ExecuteQuery(strSql, CollectCheckPoints(vecInfo, point.element_id, "id", kCheckPointCardReader)))
        return true;
    return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
        UPG_LOG(
            LOG_ERROR,
            "[%s][C1110ToC1120::QueryCardReaderID] Get CardReader Failed.Sql:%s, Error Code:%d, Error Info:%s[%s(%d)]",
            QualifiedName("QueryCardReaderID").c_str(), strSql.c_str(), nErrorCode, strErrorInfo.c_str());
    });
}

bool C1110ToC1120::QueryComponentID(int& nErrorCode, std::string& strErrorInfo,
                                    std::vector<stru_check_point_info>& vecInfo, DBAccessConnPtr pConn,
                                    stru_door_point point) {
    const std::string strSql = str_fmt(kSelectComponents, point.element_id);
    if (pConn->ExecuteQuery(strSql,
                            CollectCheckPoints(vecInfo, point.element_id, "related_source_id", kCheckPointComponent)))
        return true;
    return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
        UPG_LOG(LOG_ERROR, "[%s][C1110ToC1120] QueryComponentID Failed.Sql:%s, Error Code:%d, Error Info:%s[%s(%d)]",
                QualifiedName("QueryComponentID").c_str(), strSql.c_str(), nErrorCode, strErrorInfo.c_str());
    });
}

bool C1110ToC1120::InsertCheakPointInfo(int& nErrorCode, std::string& strErrorInfo,
                                        const std::vector<stru_check_point_info>& vecInfo, DBAccessConnPtr pConn) {
    const std::string strName = QualifiedName("InsertCheakPointInfo");
    const std::string strNow = CSqlText::NowText();
    std::string strSql = str_fmt(kSoftDeleteCheckPoints, strNow.c_str());
    // Every id is drawn before the text is built, all in one round trip.
    std::vector<int> vecIds(vecInfo.size(), -1);
    SBatchQueries draws;
    for (int& nId : vecIds) draws.Add(kNextCheckPointId, RowReaders::FirstIntAt0(nId));
    draws.Send(*pConn);
    if (draws.nAnswered < vecIds.size()) {
        return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
            UPG_LOG(LOG_ERROR, "[%s][ExecuteHelper] InsertCheakPointInfo failed, Error Code:%d, Error Info:%s.[%s(%d)]",
                    strName.c_str(), nErrorCode, strErrorInfo.c_str());
        });
    }
    for (std::size_t i = 0; i < vecInfo.size(); ++i) {
        const stru_check_point_info& info = vecInfo[i];
        strSql += str_fmt(kInsertCheckPoint, vecIds[i], info.element_id, info.cardreader_id, info.type,
                          strNow.c_str(), strNow.c_str());
    }
    if (pConn->ExecuteHelper(strSql)) return true;
    return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
        UPG_LOG(LOG_ERROR,
                "[%s][C1110ToC1120] InsertCheakPointInfo Failed.Sql:%s, Error Code:%d, Error Info:%s[%s(%d)]",
                strName.c_str(), strSql.c_str(), nErrorCode, strErrorInfo.c_str());
    });
}

bool C1110ToC1120::UpdateSelfAppointInfo(int& nErrorCode, std::string& strErrorInfo, db_layer::DBParam,
                                         DBAccessConnPtr pConn) {
    const std::string strName = QualifiedName("UpdateSelfAppointInfo");
    const auto fnUser = [](db_layer::CConnect& conn) { return conn.GetInt("user_id"); };
    std::vector<int> vecOff;
    std::vector<int> vecOn;
    if (!pConn->ExecuteQuery(str_fmt(kSelectChecks, 0), RowReaders::Collect(vecOff, fnUser))) {
        return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
            UPG_LOG(LOG_ERROR,
                    "[%s][ExecuteHelper] UpdateSelfAppointInfos failed, Error Code:%d, Error Info:%s.[%s(%d)]",
                    strName.c_str(), nErrorCode, strErrorInfo.c_str());
        });
    }
    if (!pConn->ExecuteQuery(str_fmt(kSelectChecks, 1), RowReaders::Collect(vecOn, fnUser))) {
        return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
            UPG_LOG(LOG_ERROR,
                    "[%s][ExecuteHelper] UpdateSelfAppointInfo failed, Error Code:%d, Error Info:%s.[%s(%d)]",
                    strName.c_str(), nErrorCode, strErrorInfo.c_str());
        });
    }
    const std::string strNow = CSqlText::NowText();
    // Settings read as 0 become 1, then those read as 1 become 0.
    const std::pair<int, const std::vector<int>*> updates[] = {{1, &vecOff}, {0, &vecOn}};
    for (const auto& update : updates) {
        if (update.second->empty()) continue;
        const std::string strSql =
            str_fmt(kSetChecks, update.first, strNow.c_str(), CSqlText::JoinNumbers(*update.second).c_str());
        if (!pConn->ExecuteHelper(strSql)) {
            return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
                UPG_LOG(LOG_ERROR,
                        "[%s][C1110ToC1120] UpdateSelfAppointInfo Failed.Sql:%s, Error Code:%d, Error Info:%s[%s(%d)]",
                        strName.c_str(), strSql.c_str(), nErrorCode, strErrorInfo.c_str());
            });
        }
    }
    return true;
}

// ---------------------------------------------------------------- records

bool C1110ToC1120::UpgradeCourse_Records(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                                         db_layer::CConnect* pSecondConn, db_layer::DBParam) {
    const std::string strName = QualifiedName("UpgradeCourse_Records");
    auto pFirst = std::make_shared<CDBAccessConn>(pFirstConn);
    auto pSecond = std::make_shared<CDBAccessConn>(pSecondConn);
    (void)pFirst;
    db_layer::CConnect* pBulkConn = CBulkMode::Enabled(strName.c_str()) ? pSecondConn : nullptr;
    m_setBulkStoodDown.clear();

    int nStatus = 0;
    int nSchedule = 0;
    int nRateProgress = 0;
    if (!QueryUpgradeStatus(nErrorCode, strErrorInfo, &nStatus, &nSchedule, &nRateProgress, pSecond)) {
        UPG_LOG(LOG_ERROR, kStatusFailed, strName.c_str());
        return false;
    }
    UPG_LOG(LOG_INFO, kPassStart, strName.c_str());

    if (!Upgrade_Record_UpgradeVisitorRecord(nErrorCode, strErrorInfo, pSecond, nSchedule, nRateProgress, pBulkConn)) {
        UPG_LOG(LOG_ERROR, kTableFailed, strName.c_str(), MODULE_IDENTITY);
        return false;
    }
    // The one stored position is the appointment table's end once that walk is
    // complete, which says nothing about the review table: a positive position
    // is not trusted there, and the walk starts from the table's lowest key.
    // Converted review records are recognised by their flow number and skipped.
    const int nReviewStart = nRateProgress > 0 ? 0 : nRateProgress;
    if (!Upgrade_Record_UpgradeVisitorReviewRecord(nErrorCode, strErrorInfo, pSecond, nSchedule, nReviewStart,
                                                   pBulkConn)) {
        UPG_LOG(LOG_ERROR, kTableFailed, strName.c_str(), MODULE_IDENTITY);
        return false;
    }
    SetUpgradeFinished(nErrorCode, strErrorInfo, pSecond);
    UPG_LOG(LOG_INFO, kPassEnd, strName.c_str());
    return true;
}

bool C1110ToC1120::Upgrade_Record_UpgradeVisitorRecord(int& nErrorCode, std::string& strErrorInfo,
                                                       DBAccessConnPtr pConn, int nSchedule, int nStartPosition,
                                                       db_layer::CConnect* pBulkConn) {
    const std::string strName = QualifiedName("Upgrade_Record_UpgradeVisitorRecord");
    STableWalk<stru_appoint_record> table;
    table.pfnQuery = &C1110ToC1120::QueryApppointRecord;
    table.pQueryConn = pConn;
    table.fnConverted = [](const stru_appoint_record& row) { return IsConverted(row.appoint_approval_flow_id); };
    table.fnConvert = [&](const std::vector<stru_appoint_record>& vecBatch, int) {
        return InsertAppointRecord(nErrorCode, strErrorInfo, vecBatch, pConn, pBulkConn);
    };
    return WalkTable(*this, nErrorCode, strErrorInfo,
                     WalkOver("visitor.visitor_appoint_record", strName, pConn, pConn, pConn), table, nSchedule,
                     nStartPosition);
}

bool C1110ToC1120::Upgrade_Record_UpgradeVisitorReviewRecord(int& nErrorCode, std::string& strErrorInfo,
                                                             DBAccessConnPtr pConn, int nSchedule, int nStartPosition,
                                                             db_layer::CConnect* pBulkConn) {
    const std::string strName = QualifiedName("Upgrade_Record_UpgradeVisitorReviewRecord");
    STableWalk<stru_appoint_review_record> table;
    table.pfnQuery = &C1110ToC1120::QueryApppointReviewRecord;
    table.pQueryConn = pConn;
    table.fnConverted = [](const stru_appoint_review_record& row) { return IsConverted(row.appoint_approval_flow_id); };
    table.fnConvert = [&](const std::vector<stru_appoint_review_record>& vecBatch, int) {
        return InsertAppointReviewRecord(nErrorCode, strErrorInfo, vecBatch, pConn, pBulkConn);
    };
    return WalkTable(*this, nErrorCode, strErrorInfo,
                     WalkOver("visitor.visitor_appoint_reveiw_record", strName, pConn, pConn, pConn), table, nSchedule,
                     nStartPosition);
}

bool C1110ToC1120::QueryAppointBatch(int& nErrorCode, std::string& strErrorInfo,
                                     std::vector<stru_appoint_record>& vecRecords, int* pStartKey,
                                     DBAccessConnPtr pConn, bool bWithChangeMarker, const char* szOperation) {
    const std::string strSql =
        str_fmt(kSelectAppointBatch, *pStartKey, static_cast<long long>(*pStartKey) + CKeyRangeWalk::kBatchWidth);
    const auto fnRead = [bWithChangeMarker](db_layer::CConnect& conn) {
        stru_appoint_record record;
        ReadSharedColumns(conn, record);
        record.is_deleted = conn.GetInt("is_deleted");
        if (bWithChangeMarker) record.row_status_implicit_upgrade = conn.GetInt("row_status_implicit_upgrade");
        return record;
    };
    if (pConn->ExecuteQuery(strSql, RowReaders::Collect(vecRecords, fnRead))) return true;
    return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
        UPG_LOG(LOG_ERROR, kBatchQueryFailed, QualifiedName(szOperation).c_str(), nErrorCode, strErrorInfo.c_str());
    });
}

bool C1110ToC1120::QueryApppointRecord(int& nErrorCode, std::string& strErrorInfo,
                                       std::vector<stru_appoint_record>& vecRecords, int* pStartKey,
                                       DBAccessConnPtr pConn) {
    return QueryAppointBatch(nErrorCode, strErrorInfo, vecRecords, pStartKey, pConn, false, "QueryApppointRecord");
}

bool C1110ToC1120::QueryApppointReviewRecord(int& nErrorCode, std::string& strErrorInfo,
                                             std::vector<stru_appoint_review_record>& vecRecords, int* pStartKey,
                                             DBAccessConnPtr pConn) {
    const std::string strSql =
        str_fmt(kSelectReviewBatch, *pStartKey, static_cast<long long>(*pStartKey) + CKeyRangeWalk::kBatchWidth);
    const auto fnRead = [](db_layer::CConnect& conn) {
        stru_appoint_review_record record;
        ReadSharedColumns(conn, record);
        record.appoint_review_status = conn.GetInt("appoint_review_status");
        record.visit_reason_id = conn.GetInt("visit_reason_id");
        ReadText(conn, "visit_reason_detail", record.visit_reason_detail, record.visit_reason_detail_null);
        ReadText(conn, "object_guid", record.object_guid, record.object_guid_null);
        record.visitor_group_id = conn.GetInt("visitor_group_id");
        return record;
    };
    if (pConn->ExecuteQuery(strSql, RowReaders::Collect(vecRecords, fnRead))) return true;
    return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
        UPG_LOG(LOG_ERROR, kBatchQueryFailed, QualifiedName("QueryApppointReviewRecord").c_str(), nErrorCode,
                strErrorInfo.c_str());
    });
}

// Both draws fail with the same line, each naming itself (its operation and
// its qualified name).
bool C1110ToC1120::IdDrawFailed(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn,
                                const char* szDraw) {
    return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
        UPG_LOG(LOG_ERROR, "[%s][ExecuteHelper] ExecuteTransaction %s failed, Error Code:%d, Error Info:%s.[%s(%d)]",
                QualifiedName(szDraw).c_str(), szDraw, nErrorCode, strErrorInfo.c_str());
    });
}

bool C1110ToC1120::DrawnWorkflowIds(int& nErrorCode, std::string& strErrorInfo, std::size_t nAnswered,
                                    std::size_t nProcessDraw, DBAccessConnPtr pConn, const char* szOperation) {
    if (nProcessDraw >= nAnswered) {
        IdDrawFailed(nErrorCode, strErrorInfo, pConn, kProcessIdDraw);
        UPG_LOG(LOG_ERROR,
                "[%s][C1110ToC1120] QueryNextIdOfApproveProcess failed, Error Code:%d, Error Info:%s.[%s(%d)]",
                QualifiedName(szOperation).c_str(), nErrorCode, strErrorInfo.c_str());
        return false;
    }
    if (nProcessDraw + 1 >= nAnswered) {
        IdDrawFailed(nErrorCode, strErrorInfo, pConn, kNodeIdDraw);
        UPG_LOG(LOG_ERROR,
                "[%s][C1110ToC1120]  QueryNextIdOfApproveProcessNode failed, Error Code:%d, Error Info:%s.[%s(%d)]",
                QualifiedName(szOperation).c_str(), nErrorCode, strErrorInfo.c_str());
        return false;
    }
    return true;
}

bool C1110ToC1120::SendBatchText(int& nErrorCode, std::string& strErrorInfo, const std::string& strSql,
                                 DBAccessConnPtr pConn, const char* szOperation) {
    if (strSql.empty()) return true;
    if (pConn->ExecuteHelper(strSql)) return true;
    return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
        UPG_LOG(LOG_ERROR, kBatchTextFailed, QualifiedName(szOperation).c_str(), strSql.c_str(), nErrorCode,
                strErrorInfo.c_str());
    });
}

bool C1110ToC1120::WriteBatch(int& nErrorCode, std::string& strErrorInfo, CBulkBatch& bulk,
                              const std::function<std::string(bool bSet)>& fnBuild, DBAccessConnPtr pConn,
                              const char* szOperation) {
    if (bulk.Active()) {
        const std::string strSet = fnBuild(true);
        if (strSet.empty() || bulk.Execute(strSet)) return true;
        if (!bulk.TakenBack(nErrorCode, strErrorInfo)) return false;
    }
    if (!SendBatchText(nErrorCode, strErrorInfo, fnBuild(false), pConn, szOperation)) return false;
    if (bulk.Refused() && !PassingRefusal(bulk.RefusalCode()) &&
        m_setBulkStoodDown.insert(bulk.Connection()).second) {
        UPG_LOG(LOG_INFO, kBulkStandsDown, QualifiedName(szOperation).c_str(), bulk.RefusalCode(),
                bulk.RefusalText().c_str());
    }
    return true;
}

bool C1110ToC1120::InsertAppointRecord(int& nErrorCode, std::string& strErrorInfo,
                                       const std::vector<stru_appoint_record>& vecRecords, DBAccessConnPtr pConn,
                                       db_layer::CConnect* pBulkConn) {
    CBulkBatch bulk(BulkConn(pBulkConn));
    if (!SetFormFits(vecRecords)) bulk.Decline();
    std::vector<SWorkflowIds> vecIds(vecRecords.size());
    if (!DrawAllWorkflowIds(bulk, vecIds)) {
        if (!bulk.TakenBack(nErrorCode, strErrorInfo)) return false;
        // Every id of the batch is drawn in one round trip before the text is built.
        SBatchQueries draws;
        for (SWorkflowIds& ids : vecIds) AddWorkflowDraws(draws, ids);
        draws.Send(*pConn);
        for (std::size_t i = 0; i < vecRecords.size(); ++i)
            if (!DrawnWorkflowIds(nErrorCode, strErrorInfo, draws.nAnswered, 2 * i, pConn, "InsertAppointRecord"))
                return false;
    }
    const auto fnBuild = [&](bool bSet) {
        SBatchWrites writes(bSet);
        for (std::size_t i = 0; i < vecRecords.size(); ++i)
            AddAppointWrites(writes, vecRecords[i], vecIds[i].nProcess, vecIds[i].nNode, false);
        return writes.Finish();
    };
    return WriteBatch(nErrorCode, strErrorInfo, bulk, fnBuild, pConn, "InsertAppointRecord");
}

bool C1110ToC1120::InsertAppointReviewRecord(int& nErrorCode, std::string& strErrorInfo,
                                             const std::vector<stru_appoint_review_record>& vecRecords,
                                             DBAccessConnPtr pConn, db_layer::CConnect* pBulkConn) {
    // Appointment ids first (the id source hands them out of its reserved
    // block), up to one it refuses; then the process and node draws of those
    // records in one round trip, the refused record's process draw last, as one
    // draw at a time would have sent them before noticing the refusal.
    std::vector<long long> vecAppointIds;
    vecAppointIds.reserve(vecRecords.size());
    while (vecAppointIds.size() < vecRecords.size() &&
           (vecAppointIds.empty() || IsAppointmentId(vecAppointIds.back())))
        vecAppointIds.push_back(db_layer::GloballySerial(""));
    CBulkBatch bulk(BulkConn(pBulkConn));
    if (!SetFormFits(vecRecords) || !IsAppointmentId(vecAppointIds.back())) bulk.Decline();
    std::vector<SWorkflowIds> vecIds(vecRecords.size());
    if (!DrawAllWorkflowIds(bulk, vecIds)) {
        if (!bulk.TakenBack(nErrorCode, strErrorInfo)) return false;
        SBatchQueries draws;
        for (std::size_t i = 0; i < vecAppointIds.size(); ++i) {
            if (IsAppointmentId(vecAppointIds[i]))
                AddWorkflowDraws(draws, vecIds[i]);
            else
                draws.Add(kNextProcessId, RowReaders::FirstIntAt0(vecIds[i].nProcess));
        }
        draws.Send(*pConn);
        if (!ReviewIdsDrawn(nErrorCode, strErrorInfo, vecAppointIds, draws.nAnswered, pConn)) return false;
    }

    const auto fnBuild = [&](bool bSet) {
        SBatchWrites writes(bSet);
        for (std::size_t i = 0; i < vecRecords.size(); ++i)
            AddReviewWrites(writes, vecRecords[i], vecAppointIds[i], vecIds[i].nProcess + kReviewIdOffset,
                            vecIds[i].nNode + kReviewIdOffset);
        return writes.Finish();
    };
    return WriteBatch(nErrorCode, strErrorInfo, bulk, fnBuild, pConn, "InsertAppointReviewRecord");
}

bool C1110ToC1120::ReviewIdsDrawn(int& nErrorCode, std::string& strErrorInfo,
                                  const std::vector<long long>& vecAppointIds, std::size_t nAnswered,
                                  DBAccessConnPtr pConn) {
    const std::string strName = QualifiedName("InsertAppointReviewRecord");
    for (std::size_t i = 0; i < vecAppointIds.size(); ++i) {
        if (2 * i >= nAnswered) {
            IdDrawFailed(nErrorCode, strErrorInfo, pConn, kProcessIdDraw);
            UPG_LOG(LOG_ERROR,
                    "[%s][C1110ToC1120]QueryNextIdOfApproveProcess failed, Error Code:%d, Error Info:%s.[%s(%d)]",
                    strName.c_str(), nErrorCode, strErrorInfo.c_str());
            return false;
        }
        // An id outside 1..2^31-1 would break the later walks, so the batch
        // stops instead of writing it.
        const long long llAppointId = vecAppointIds[i];
        if (!IsAppointmentId(llAppointId)) {
            nErrorCode = kNoAppointmentIdCode;
            strErrorInfo =
                str_fmt("db_layer::GloballySerial gave %lld, not an appointment id within 1..%d", llAppointId, INT_MAX);
            UPG_LOG(LOG_ERROR, "[%s][C1110ToC1120]GloballySerial failed, Error Code:%d, Error Info:%s.[%s(%d)]",
                    strName.c_str(), nErrorCode, strErrorInfo.c_str());
            return false;
        }
        if (2 * i + 1 >= nAnswered) {
            IdDrawFailed(nErrorCode, strErrorInfo, pConn, kNodeIdDraw);
            UPG_LOG(LOG_ERROR,
                    "[%s][C1110ToC1120] QueryNextIdOfApproveProcessNode failed, Error Code:%d, Error Info:%s.[%s(%d)]",
                    strName.c_str(), nErrorCode, strErrorInfo.c_str());
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------- incremental passes

bool C1110ToC1120::UpgradeCourse_Config_IncreData(int& nErrorCode, std::string& strErrorInfo,
                                                  db_layer::CConnect* pFirstConn, db_layer::CConnect* pSecondConn,
                                                  db_layer::CConnect* pThirdConn, db_layer::DBParam dbParam) {
    if (pFirstConn == nullptr || pSecondConn == nullptr || pThirdConn == nullptr) return false;
    const std::string strName = QualifiedName("UpgradeCourse_Config_IncreData");
    auto pFirst = std::make_shared<CDBAccessConn>(pFirstConn);
    auto pSecond = std::make_shared<CDBAccessConn>(pSecondConn);
    auto pThird = std::make_shared<CDBAccessConn>(pThirdConn);

    // Script and flag inversion commit with the pass's mark on the third
    // connection. The check point rebuild writes on the second: it commits with
    // a mark of its own there, inside the third's transaction, so that a pass
    // killed between the two commits does the rest, and each part once.
    CPassMarker marker(Literals().szToVersion, strName);
    const auto fnRebuild = [&](const std::set<std::string>& setDone) {
        bool bLeave = false;
        return CheckPointsRebuiltInSharedDatabase(nErrorCode, strErrorInfo, bLeave, pFirst, pSecond, setDone,
                                                  strName) &&
               (bLeave || UpgradeCourse_Config_CheakPoint(nErrorCode, strErrorInfo, dbParam, pFirst, pSecond));
    };
    return marker.RunOnce(nErrorCode, strErrorInfo, CPassMarker::kIncrementalConfiguration, pThird, [&] {
        if (!RunStepScript(nErrorCode, strErrorInfo, dbParam, pThird, "UpgradeCourse_Config_IncreData")) return false;
        if (!marker.RunOnceWithMarks(nErrorCode, strErrorInfo, kIncrementalCheckPoints, pSecond, fnRebuild) ||
            !UpdateSelfAppointInfo(nErrorCode, strErrorInfo, dbParam, pThird)) {
            UPG_LOG(LOG_ERROR, kCheckPointFailed, strName.c_str(), nErrorCode, strErrorInfo.c_str());
            return false;
        }
        return true;
    });
}

// The host connects the second connection to the first one's database unless told
// otherwise; reading there the check points that the configuration pass rebuilt
// and rebuilding them again would multiply every element's set.
bool C1110ToC1120::CheckPointsRebuiltInSharedDatabase(int& nErrorCode, std::string& strErrorInfo, bool& bLeave,
                                                      DBAccessConnPtr pFirst, DBAccessConnPtr pSecond,
                                                      const std::set<std::string>& setSecondMarks,
                                                      const std::string& strName) {
    bLeave = false;
    CDatabaseIdentity firstDb;
    CDatabaseIdentity secondDb;
    if (!firstDb.Read(nErrorCode, strErrorInfo, pFirst) || !secondDb.Read(nErrorCode, strErrorInfo, pSecond))
        return false;
    if (!firstDb.SameAs(secondDb)) return true;
    // An earlier build marked the rebuild alone.
    bLeave =
        setSecondMarks.count(CPassMarker::kConfiguration) > 0 || setSecondMarks.count(CPassMarker::kCheckPoints) > 0;
    if (bLeave)
        UPG_LOG(LOG_INFO,
                "[%s]first and second connection reach one database, %s, whose check points the configuration pass "
                "of %s already rebuilt; they are left as they are[%s(%d)]",
                strName.c_str(), firstDb.Describe().c_str(), Literals().szToVersion);
    return true;
}

bool C1110ToC1120::UpgradeCourse_Records_IncreData(int& nErrorCode, std::string& strErrorInfo,
                                                   db_layer::CConnect* pFirstConn, db_layer::CConnect* pSecondConn,
                                                   db_layer::CConnect* pThirdConn, db_layer::DBParam) {
    if (pSecondConn == nullptr || pThirdConn == nullptr) return false;
    const std::string strName = QualifiedName("UpgradeCourse_Records_IncreData");
    stru_db_com dbCom;
    dbCom.first_connect = std::make_shared<CDBAccessConn>(pFirstConn);
    dbCom.cms_up_connect = std::make_shared<CDBAccessConn>(pSecondConn);
    dbCom.third_connect = std::make_shared<CDBAccessConn>(pThirdConn);
    m_setBulkStoodDown.clear();
    if (CBulkMode::Enabled(strName.c_str())) {
        dbCom.cms_up_bulk = pSecondConn;
        dbCom.third_bulk = pThirdConn;
    }

    int nStatus = 0;
    int nSchedule = 0;
    int nRateProgress = 0;
    if (!QueryUpgradeStatus(nErrorCode, strErrorInfo, &nStatus, &nSchedule, &nRateProgress, dbCom.first_connect)) {
        UPG_LOG(LOG_ERROR, kStatusFailed, strName.c_str());
        return false;
    }
    UPG_LOG(LOG_INFO, kPassEnd, strName.c_str());
    if (!IncreUpgrade_Record_UpgradeVisitorRecord(nErrorCode, strErrorInfo, dbCom, nSchedule, nRateProgress) ||
        !IncreUpgrade_Record_UpgradeVisitorReviewRecord(nErrorCode, strErrorInfo, dbCom, nSchedule, nRateProgress)) {
        UPG_LOG(LOG_ERROR, kTableFailed, strName.c_str(), MODULE_IDENTITY);
        return false;
    }
    UPG_LOG(LOG_INFO, kPassEnd, strName.c_str());
    return true;
}

bool C1110ToC1120::IncreUpgrade_Record_UpgradeVisitorRecord(int& nErrorCode, std::string& strErrorInfo,
                                                            stru_db_com& dbCom, int nSchedule, int nStartPosition) {
    const std::string strName = QualifiedName("IncreUpgrade_Record_UpgradeVisitorRecord");
    const DBAccessConnPtr& pThird = dbCom.third_connect;
    STableWalk<stru_appoint_record> table;
    table.pfnQuery = &C1110ToC1120::QueryApppointRecordForIncreUpdate;
    table.pQueryConn = pThird;
    // A record given a process of its own carries its flow number from the
    // batch that made the process. Taking a flow number over adds nothing and
    // is looked up again: the module database's appointments keep theirs.
    table.fnConverted = [](const stru_appoint_record& row) {
        return IsConverted(row.appoint_approval_flow_id) && !TakesOverFlowNumber(row);
    };
    table.fnConvert = [&](const std::vector<stru_appoint_record>& vecBatch, int) {
        return InsertAppointRecordForIncre(nErrorCode, strErrorInfo, vecBatch, dbCom);
    };
    return WalkTable(*this, nErrorCode, strErrorInfo,
                     WalkOver("visitor.visitor_appoint_record", strName, pThird, pThird, pThird), table, nSchedule,
                     nStartPosition);
}

bool C1110ToC1120::IncreUpgrade_Record_UpgradeVisitorReviewRecord(int& nErrorCode, std::string& strErrorInfo,
                                                                  stru_db_com& dbCom, int nSchedule,
                                                                  int nStartPosition) {
    const std::string strName = QualifiedName("IncreUpgrade_Record_UpgradeVisitorReviewRecord");
    const DBAccessConnPtr& pSecond = dbCom.cms_up_connect;
    CPassMarker marker(Literals().szToVersion, strName);

    // Once: a second soft deletion would take the rows this pass re-created.
    bool bDeletedNow = false;
    const bool bDeleted = marker.RunOnce(nErrorCode, strErrorInfo, kReviewSoftDeletion, pSecond, [&] {
        bDeletedNow = true;
        const std::string strNow = CSqlText::NowText();
        const std::string strSql =
            str_fmt(kSoftDeleteReviewAppoints, strNow.c_str()) + str_fmt(kSoftDeleteReviewProcesses, strNow.c_str());
        if (pSecond->ExecuteHelper(strSql)) return true;
        return pSecond->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
            UPG_LOG(
                LOG_ERROR,
                "[%s]stru_db_com.cms_up_connect delete already updated data in table :visitor_appoint_reveiw_record "
                "Failed.Sql:%s, Error Code:%d, Error Info:%s[%s(%d)]",
                strName.c_str(), strSql.c_str(), nErrorCode, strErrorInfo.c_str());
        });
    });
    if (!bDeleted) return false;

    // The review records are read on the first connection and may have no row
    // on the second, so the flow number there cannot tell what was converted:
    // each batch marks its key range in its own transaction instead. Marks exist
    // only after the soft deletion, so a pass that did it now has none to read.
    std::map<long long, long long> mapConverted;
    if (!bDeletedNow) {
        std::set<std::string> setMarks;
        if (!marker.Read(nErrorCode, strErrorInfo, setMarks, pSecond)) return false;
        mapConverted = ConvertedReviewRanges(setMarks);
    }
    STableWalk<stru_appoint_review_record> table;
    table.pfnQuery = &C1110ToC1120::QueryApppointReviewRecord;
    table.pQueryConn = dbCom.first_connect;
    if (!mapConverted.empty())
        table.fnConverted = [&mapConverted](const stru_appoint_review_record& row) {
            return InRanges(mapConverted, row.id);
        };
    table.fnConvert = [&](const std::vector<stru_appoint_review_record>& vecBatch, int nStartKey) {
        const std::string strMark = kReviewRangePrefix + std::to_string(nStartKey) + " " +
                                    std::to_string(static_cast<long long>(nStartKey) + CKeyRangeWalk::kBatchWidth);
        return InsertAppointReviewRecord(nErrorCode, strErrorInfo, vecBatch, pSecond, dbCom.cms_up_bulk) &&
               marker.Write(nErrorCode, strErrorInfo, strMark.c_str(), pSecond);
    };
    return WalkTable(
        *this, nErrorCode, strErrorInfo,
        WalkOver("visitor.visitor_appoint_reveiw_record", strName, dbCom.first_connect, pSecond, dbCom.third_connect),
        table, nSchedule, nStartPosition);
}

bool C1110ToC1120::QueryApppointRecordForIncreUpdate(int& nErrorCode, std::string& strErrorInfo,
                                                     std::vector<stru_appoint_record>& vecRecords, int* pStartKey,
                                                     DBAccessConnPtr pConn) {
    return QueryAppointBatch(nErrorCode, strErrorInfo, vecRecords, pStartKey, pConn, true,
                             "QueryApppointRecordForIncreUpdate");
}

bool C1110ToC1120::FlowNumLookupFailed(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn) {
    return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
        UPG_LOG(LOG_ERROR, kBatchQueryFailed, QualifiedName("QryFlowNumByAppointID").c_str(), nErrorCode,
                strErrorInfo.c_str());
    });
}

bool C1110ToC1120::InsertAppointRecordForIncre(int& nErrorCode, std::string& strErrorInfo,
                                               const std::vector<stru_appoint_record>& vecRecords, stru_db_com& dbCom) {
    // The flow number look-ups and id draws of the batch go to the second
    // connection in one round trip, in the order of the records.
    std::vector<std::string> vecFlowNums(vecRecords.size());
    std::vector<SWorkflowIds> vecIds(vecRecords.size());
    std::vector<std::size_t> vecFirst(vecRecords.size());
    SBatchQueries queries;
    for (std::size_t i = 0; i < vecRecords.size(); ++i) {
        vecFirst[i] = TakesOverFlowNumber(vecRecords[i])
                          ? queries.Add(str_fmt(kSelectAppointById, vecRecords[i].id),
                                        RowReaders::LastString("appoint_approval_flow_id", vecFlowNums[i]))
                          : AddWorkflowDraws(queries, vecIds[i]);
    }
    queries.Send(*dbCom.cms_up_connect);

    for (std::size_t i = 0; i < vecRecords.size(); ++i) {
        if (!TakesOverFlowNumber(vecRecords[i])) {
            if (!DrawnWorkflowIds(nErrorCode, strErrorInfo, queries.nAnswered, vecFirst[i], dbCom.cms_up_connect,
                                  "InsertAppointRecordForIncre"))
                return false;
        } else if (vecFirst[i] >= queries.nAnswered) {
            FlowNumLookupFailed(nErrorCode, strErrorInfo, dbCom.cms_up_connect);
            UPG_LOG(LOG_ERROR, "[%s][C1110ToC1120] QryFlowNumByAppointID failed, Error Code:%d, Error Info:%s.[%s(%d)]",
                    QualifiedName("InsertAppointRecordForIncre").c_str(), nErrorCode, strErrorInfo.c_str());
            return false;
        }
    }
    // In bulk mode only the writes on the third connection are set-based: the
    // look-ups and draws above are those of the default mode.
    CBulkBatch bulk(BulkConn(dbCom.third_bulk));
    if (!SetFormFits(vecRecords)) bulk.Decline();
    const auto fnBuild = [&](bool bSet) {
        SBatchWrites writes(bSet);
        for (std::size_t i = 0; i < vecRecords.size(); ++i) {
            if (TakesOverFlowNumber(vecRecords[i]))
                AddFlowTakeOver(writes, vecRecords[i], vecFlowNums[i]);
            else
                AddAppointWrites(writes, vecRecords[i], vecIds[i].nProcess + kReviewIdOffset,
                                 vecIds[i].nNode + kReviewIdOffset, true);
        }
        return writes.Finish();
    };
    return WriteBatch(nErrorCode, strErrorInfo, bulk, fnBuild, dbCom.third_connect, "InsertAppointRecordForIncre");
}

}  // namespace UnifiedUpgradeComponent
