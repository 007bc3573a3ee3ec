#include "Upgrade/RawTo100/UpgradeFunc_100.h"

#include <algorithm>
#include <climits>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "Qarn/Base/StringUtil.h"
#include "Upgrade/BulkMode.h"
#include "Upgrade/LogPosition.h"
#include "Upgrade/ModuleConstants.h"
#include "Upgrade/PassMarker.h"
#include "Upgrade/RawTo100/UnloggedStatement.h"
#include "Upgrade/RawTo100/VisitGroupRows.h"
#include "Upgrade/ScriptFile.h"
#include "Upgrade/SqlText.h"
#include "db_layer/ErrorCodes.h"

namespace UnifiedUpgradeComponent {

using Qarn::Base::StringUtil::str_fmt;

namespace {

// A range whose rows could not be written (or whose set statement could not be taken back).
const char* const kInsertFailed = "[%s][CRawTo100::RecordsData2Destination_MEM] Insert new data failed[%s(%d)]";
const SStepLiterals kLiterals = {"CRawTo100", "0.0.0", "1.0.0", nullptr, nullptr, "  "};

const char* const kForeignServerSql =
    "CREATE EXTENSION IF NOT EXISTS postgres_fdw; DROP SERVER IF EXISTS foreign_lumo_server CASCADE; "
    "CREATE SERVER foreign_lumo_server FOREIGN DATA WRAPPER postgres_fdw OPTIONS(host '%s', port '%d', "
    "dbname '%s'); CREATE USER MAPPING FOR CURRENT_USER SERVER foreign_lumo_server OPTIONS(user '%s', password '%s');";
const char* const kForeignDatabase = "lumo";
const char* const kImportTablesScript = "META_INFO/visitor.s/runtime_script/db_init/update_V2.0/FDW_Improt_Tables.sql";
const char* const kDropTablesScript = "META_INFO/visitor.s/runtime_script/db_init/update_V2.0/FDW_Drop_Tables.sql";
const char* const kDropServerSql = "DROP SERVER IF EXISTS foreign_lumo_server CASCADE;";
// Whether a role that is no superuser may create the server at all.
const char* const kForeignWrapperUsableQuery =
    "SELECT count(*)::int AS usable FROM pg_foreign_data_wrapper WHERE fdwname = 'postgres_fdw' AND "
    "has_foreign_data_wrapper_privilege(oid, 'USAGE');";
const char* const kForeignWrapperRefused =
    "permission denied for foreign-data wrapper postgres_fdw: the role may not use it, and the foreign server "
    "statement that would fail on it was not sent, since the server would log it with the password";
const char* const kInsufficientPrivilege = "42501";

const char* const kAccessLevelQuery =
    "SELECT access_level_id, access_group_id FROM public.access_level_access_group_rel WHERE is_deleted = 0 and "
    "access_group_id in ( select id from access_group where is_deleted = 0 and ag_type = 1) ;";
const char* const kDefaultAccessGroupQuery =
    "select id from access_group where is_deleted = 0 and ag_type = 1 and is_default = 1;";
const char* const kAccessLevelInsert =
    "INSERT INTO visitor.visitor_access_level(access_level_id, is_default_al, create_time, update_time)VALUES ( %d, "
    "%d, '%s', '%s');";

const char* const kPersonGroupQuery = "SELECT id, name FROM public.person_group WHERE is_deleted = 0 and type =2;";
// The name placeholder carries its own quotes: NULL stays NULL.
const char* const kVisitGroupInsert =
    "INSERT INTO visitor.visit_group (id, name, update_time, create_time) VALUES ( %d, %s, '%s', '%s')";
const char* const kVisitGroupSequenceReset =
    "SELECT SETVAL('visitor.visit_group_id_seq', (SELECT max(id) FROM visitor.visit_group), true)";
// The platform's visitor group 2 becomes the module's visit group 1.
const int kPlatformVisitorGroup = 2;
const int kModuleVisitorGroup = 1;
const char* const kModuleVisitorGroupName = "Visitors";

const char* const kVisitorQuery = "SELECT id, person_group_id FROM public.person WHERE person_type = 1 and is_deleted =0;";
const char* const kGroupMemberInsert =
    "INSERT INTO visitor.visit_group_visitor_rel (visitor_id, visitor_group_id, update_time, create_time) VALUES "
    "(%d, %d, '%s', '%s')";

const char* const kReachedVersionQuery =
    "SELECT step_ver FROM platform.module_version_status WHERE module_identity = '%s';";

const char* const kRecordSourceTable = "rt_data.visitor_record";
const char* const kRecordRangeQuery = "SELECT * FROM rt_data.visitor_record WHERE id between %d and %lld;";
// No row, rather than a NULL that reads as 0, when no key follows.
const char* const kNextRecordIdQuery = "SELECT id FROM rt_data.visitor_record WHERE id > %lld ORDER BY id LIMIT 1;";
// The copied columns, in the order of both statements that write them.
#define VSU_RECORD_COLUMNS                                                                                         \
    "object_guid, visitor_id, interviewee_id, visit_reason, visit_reason_detail, visitor_status, start_valid_time, " \
    "end_valid_time, create_time, update_time, start_time_differ, end_time_differ,temper,temper_status, is_deleted"
// Every value placeholder carries its own quotes (text) or none (numbers): NULL stays NULL.
const char* const kRecordInsert = "INSERT INTO visitor.visitor_record(" VSU_RECORD_COLUMNS
                                  ")VALUES (%s, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s,%s,%s, %s)";
// Bulk mode: one key range in one statement, in key order as the rows are read one by one.
const char* const kRecordRangeCopy = "INSERT INTO visitor.visitor_record(" VSU_RECORD_COLUMNS
                                     ")SELECT " VSU_RECORD_COLUMNS
                                     " FROM rt_data.visitor_record WHERE id BETWEEN %d AND %lld ORDER BY id;";
#undef VSU_RECORD_COLUMNS
// The set statement copies values as they are stored, the default mode as the
// read connection's texts read back by the write connection. The two agree when
// both connections are sessions of the same database with the same DateStyle
// (the time texts) and each copied column has the same type in both tables.
const char* const kSessionOrigin =
    "SELECT current_database() || ' ' || extract(epoch FROM pg_postmaster_start_time()) || ' ' || "
    "current_setting('DateStyle') AS origin;";
// How many copied columns have one type in both tables, and the sequence that
// gives the target's keys ("" when none does).
const char* const kSetBasedProbe =
    "SELECT (SELECT count(*)::int FROM pg_attribute s JOIN pg_attribute t ON t.attname = s.attname AND t.atttypid = "
    "s.atttypid AND t.attrelid = to_regclass('visitor.visitor_record') AND NOT t.attisdropped WHERE s.attrelid = "
    "to_regclass('rt_data.visitor_record') AND NOT s.attisdropped AND s.attname IN ('object_guid', 'visitor_id', "
    "'interviewee_id', 'visit_reason', 'visit_reason_detail', 'visitor_status', 'start_valid_time', "
    "'end_valid_time', 'create_time', 'update_time', 'start_time_differ', 'end_time_differ', 'temper', "
    "'temper_status', 'is_deleted')) AS same, coalesce(pg_get_serial_sequence('visitor.visitor_record', 'id'), "
    "(SELECT p.refobjid::regclass::text FROM pg_attribute a JOIN pg_attrdef d ON d.adrelid = a.attrelid AND "
    "d.adnum = a.attnum JOIN pg_depend p ON p.classid = 'pg_attrdef'::regclass AND p.objid = d.oid AND "
    "p.refclassid = 'pg_class'::regclass JOIN pg_class q ON q.oid = p.refobjid AND q.relkind = 'S' WHERE "
    "a.attrelid = 'visitor.visitor_record'::regclass AND a.attname = 'id' LIMIT 1), '') AS sequence;";
// The key sequence's position before a range's set statement ("": nothing drawn
// yet), and the statement that puts it back there after the statement failed.
const char* const kSequenceDrawn = "SELECT coalesce(pg_sequence_last_value(%s::regclass)::text, '') AS drawn;";
const char* const kSequenceRestore =
    "SELECT setval(seqrelid, coalesce(%s::bigint, seqstart), %s) FROM pg_sequence WHERE seqrelid = %s::regclass;";
const int kCopiedColumns = 15;

// Moves llStartId on from an empty range: to the range of the walk's grid
// (start + k * width) that holds the next key, or past llMaxId when no key up
// to it follows. One query instead of one per empty range: a single outlier
// key would otherwise cost up to 214,000 of them.
bool SkipEmptyRanges(const DBAccessConnPtr& pRead, long long llMaxId, long long& llStartId) {
    const long long llWidth = CRawTo100::kRangeWidth;
    const long long llRangeEnd = llStartId + llWidth - 1;
    // Unchanged (at or below the range end) when no row comes.
    int nNextId = static_cast<int>(llStartId);
    if (llRangeEnd < llMaxId &&
        !pRead->ExecuteQuery(str_fmt(kNextRecordIdQuery, llRangeEnd), RowReaders::LastInt("id", nNextId)))
        return false;
    if (nNextId > llRangeEnd && nNextId <= llMaxId)
        llStartId += (nNextId - llStartId) / llWidth * llWidth;
    else
        llStartId += ((llMaxId - llStartId) / llWidth + 1) * llWidth;
    return true;
}

// A database without version may never have had visit records: no table (or
// no schema) means nothing to copy, unlike any other failure of a query.
bool IsMissingRelation(int nErrorCode) {
    return nErrorCode == db_layer::SqlStateToCode("42P01") || nErrorCode == db_layer::SqlStateToCode("3F000");
}
}  // namespace

CRawTo100::CRawTo100() : CModuleUpgradeBase(kLiterals) {}

bool CRawTo100::UpgradeCourse_Config(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                                     db_layer::CConnect* pSecondConn, db_layer::DBParam dbParam) {
    auto pRead = std::make_shared<CDBAccessConn>(pFirstConn);
    auto pWrite = std::make_shared<CDBAccessConn>(pSecondConn);
    const std::string strName = QualifiedName("UpgradeCourse_Config");

    auto fnWork = [&] {
        if (!ImportForeignTables(nErrorCode, strErrorInfo, dbParam, pWrite)) return false;
        if (!UpdateVisitorALTable(nErrorCode, strErrorInfo, pRead, pWrite)) {
            UPG_LOG(LOG_ERROR, "[%s] UpdateVisitorALTable failed.Error Code:%d, Error Info:%s.[%s(%d)]",
                    strName.c_str(), nErrorCode, strErrorInfo.c_str());
            return false;
        }
        if (!UpdateVisitorGroupTable(nErrorCode, strErrorInfo, pRead, pWrite)) {
            UPG_LOG(LOG_ERROR, "[%s] UpdateVisitorGroupTable failed.Error Code:%d, Error Info:%s.[%s(%d)]",
                    strName.c_str(), nErrorCode, strErrorInfo.c_str());
            return false;
        }
        if (!UpdateVisitorGroupRelVisitorTable(nErrorCode, strErrorInfo, pRead, pWrite)) {
            UPG_LOG(LOG_ERROR, "[%s] UpdateVisitorGroupRelVisitorTable failed.Error Code:%d, Error Info:%s.[%s(%d)]",
                    strName.c_str(), nErrorCode, strErrorInfo.c_str());
            return false;
        }
        return true;
    };
    // The foreign server's password must not reach the server's log through a
    // sampled transaction, and sampling is decided at BEGIN: paused around it.
    CUnloggedStatement sampling(pWrite, strName);
    if (!sampling.PauseSampling(nErrorCode, strErrorInfo)) return false;
    // The inserts have no key to skip a row that is already there: the whole
    // work commits with its mark, so a repeated pass does none of it again and a
    // failed or killed one leaves nothing behind, the foreign server (with its
    // user mapping and password) included.
    const bool bDone =
        RunOnce(nErrorCode, strErrorInfo, CPassMarker::kConfiguration, "UpgradeCourse_Config", pWrite, fnWork);
    // After a failure its error stays in the fields, whatever the sampling's resumption gives.
    int nResumeCode = 0;
    std::string strResumeInfo;
    if (!sampling.ResumeSampling(nResumeCode, strResumeInfo) && bDone) {
        nErrorCode = nResumeCode;
        strErrorInfo = strResumeInfo;
        return false;
    }
    return bDone;
}

bool CRawTo100::ImportForeignTables(int& nErrorCode, std::string& strErrorInfo, db_layer::DBParam dbParam,
                                    DBAccessConnPtr pWrite) {
    // Host, user and password are operator input: a quote in a password must
    // not end the literal. The log sink masks the password in failure lines.
    const std::string strServerSql =
        str_fmt(kForeignServerSql, CSqlText::Escape(dbParam.host).c_str(), dbParam.port, kForeignDatabase,
                CSqlText::Escape(dbParam.user).c_str(), CSqlText::Escape(dbParam.password).c_str());
    CUnloggedStatement serverStatement(pWrite, QualifiedName("ImportForeignTables"));
    if (!serverStatement.ReadSettings(nErrorCode, strErrorInfo)) return false;
    if (!serverStatement.Unprotected().empty()) {
        // The server would log a failing statement whole: one that would fail for
        // want of the wrapper is not sent.
        int nUsable = 0;
        if (!pWrite->ExecuteQuery(kForeignWrapperUsableQuery, RowReaders::LastInt("usable", nUsable)))
            return pWrite->CopyErrorAndFail(nErrorCode, strErrorInfo);
        if (nUsable == 0) {
            nErrorCode = db_layer::SqlStateToCode(kInsufficientPrivilege);
            strErrorInfo = std::string(kForeignWrapperRefused) + " (SQLSTATE " + kInsufficientPrivilege + ")";
            UPG_LOG(LOG_ERROR, "[%s]Foreign server statement not sent.Error Code:%d, Error Info:%s.[%s(%d)]",
                    QualifiedName("ImportForeignTables").c_str(), nErrorCode, strErrorInfo.c_str());
            return false;
        }
    }
    if (!serverStatement.Execute(nErrorCode, strErrorInfo, strServerSql)) return false;

    // Unreadable scripts run as empty texts; the database layer reports them.
    const CScriptHistory history = ScriptHistory("UpgradeCourse_Config");
    std::string strScript;
    SScriptOrigin origin;
    ReadScriptFile(strScript, kImportTablesScript, "", origin);
    if (!history.Run(nErrorCode, strErrorInfo, origin, pWrite, [&] {
            return pWrite->ExecuteQuery(strScript, RowReaders::Ignore()) ||
                   pWrite->CopyErrorAndFail(nErrorCode, strErrorInfo);
        }))
        return false;

    strScript.clear();
    ReadScriptFile(strScript, kDropTablesScript, "", origin);
    if (!history.Run(nErrorCode, strErrorInfo, origin, pWrite, [&] {
            return pWrite->ExecuteHelper(strScript) || pWrite->CopyErrorAndFail(nErrorCode, strErrorInfo);
        }))
        return false;

    if (!pWrite->ExecuteHelper(kDropServerSql)) return pWrite->CopyErrorAndFail(nErrorCode, strErrorInfo);
    return true;
}

bool CRawTo100::UpdateVisitorALTable(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pRead,
                                     DBAccessConnPtr pWrite) {
    std::map<int, std::set<int>> mapGroupLevels;
    auto fnLevels = [&mapGroupLevels](db_layer::CConnect& conn) {
        while (!conn.IsEOF()) {
            const int nLevel = conn.GetInt("access_level_id");
            mapGroupLevels[conn.GetInt("access_group_id")].insert(nLevel);
            conn.MoveNext();
        }
    };
    if (!pRead->ExecuteQuery(kAccessLevelQuery, fnLevels)) return pRead->CopyErrorAndFail(nErrorCode, strErrorInfo);

    int nDefaultGroup = -1;
    if (!pRead->ExecuteQuery(kDefaultAccessGroupQuery, RowReaders::LastInt("id", nDefaultGroup)))
        return pRead->CopyErrorAndFail(nErrorCode, strErrorInfo);

    std::set<int> setLevels;
    for (const auto& group : mapGroupLevels) setLevels.insert(group.second.begin(), group.second.end());
    const std::set<int> setNoLevels;
    const auto itDefault = mapGroupLevels.find(nDefaultGroup);
    const std::set<int>& setDefaultLevels =
        (nDefaultGroup != -1 && itDefault != mapGroupLevels.end()) ? itDefault->second : setNoLevels;

    std::string strSql;
    for (const int nLevel : setLevels) {
        const std::string strTime = CSqlText::NowText();
        strSql += str_fmt(kAccessLevelInsert, nLevel, setDefaultLevels.count(nLevel) ? 1 : 0, strTime.c_str(),
                          strTime.c_str());
    }
    if (strSql.empty()) return true;
    if (!pWrite->ExecuteHelper(strSql)) return pWrite->CopyErrorAndFail(nErrorCode, strErrorInfo);
    return true;
}

bool CRawTo100::UpdateVisitorGroupTable(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pRead,
                                        DBAccessConnPtr pWrite) {
    std::vector<stru_visit_group> vecGroups;
    auto fnGroups = RowReaders::Collect(vecGroups, [](db_layer::CConnect& conn) {
        stru_visit_group group;
        group.id = conn.GetInt("id");
        group.name_is_null = conn.IsNull("name");
        group.name = conn.GetString("name");
        return group;
    });
    if (!pRead->ExecuteQuery(kPersonGroupQuery, fnGroups)) return pRead->CopyErrorAndFail(nErrorCode, strErrorInfo);

    for (stru_visit_group& group : vecGroups) {
        if (group.id == kPlatformVisitorGroup) {
            group.id = kModuleVisitorGroup;
            group.name = kModuleVisitorGroupName;
            group.name_is_null = false;
        }
        const std::string strTime = CSqlText::NowText();
        const std::string strSql =
            str_fmt(kVisitGroupInsert, group.id, CSqlText::NullableLiteral(group.name, group.name_is_null).c_str(),
                    strTime.c_str(), strTime.c_str());
        if (!pWrite->ExecuteHelper(strSql)) return pWrite->CopyErrorAndFail(nErrorCode, strErrorInfo);
    }

    if (!pWrite->ExecuteQuery(kVisitGroupSequenceReset, RowReaders::Drain()))
        return pWrite->CopyErrorAndFail(nErrorCode, strErrorInfo);
    return true;
}

bool CRawTo100::UpdateVisitorGroupRelVisitorTable(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pRead,
                                                  DBAccessConnPtr pWrite) {
    std::vector<stru_group_member> vecMembers;
    auto fnMembers = RowReaders::Collect(vecMembers, [](db_layer::CConnect& conn) {
        return stru_group_member{conn.GetInt("id"), conn.GetInt("person_group_id")};
    });
    if (!pRead->ExecuteQuery(kVisitorQuery, fnMembers)) return pRead->CopyErrorAndFail(nErrorCode, strErrorInfo);

    for (const stru_group_member& member : vecMembers) {
        const int nGroup =
            member.person_group_id == kPlatformVisitorGroup ? kModuleVisitorGroup : member.person_group_id;
        const std::string strTime = CSqlText::NowText();
        const std::string strSql = str_fmt(kGroupMemberInsert, member.id, nGroup, strTime.c_str(), strTime.c_str());
        if (!pWrite->ExecuteHelper(strSql)) return pWrite->CopyErrorAndFail(nErrorCode, strErrorInfo);
    }
    return true;
}

bool CRawTo100::UpgradeCourse_Records(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                                      db_layer::CConnect* pSecondConn, db_layer::DBParam /*dbParam*/) {
    auto pRead = std::make_shared<CDBAccessConn>(pFirstConn);
    auto pWrite = std::make_shared<CDBAccessConn>(pSecondConn);
    const std::string strName = QualifiedName("UpgradeCourse_Records");

    int nStatus = 0, nSchedule = 0, nRateProgress = 0;
    if (!QueryUpgradeStatus(nErrorCode, strErrorInfo, &nStatus, &nSchedule, &nRateProgress, pWrite)) {
        UPG_LOG(LOG_ERROR, "[%s][CRawTo100::UpgradeCourse_Records] Query status info failed[%s(%d)]",
                strName.c_str());
        return false;
    }
    if (nStatus == 1) {
        UPG_LOG(LOG_INFO, "[%s][CRawTo100::UpgradeCourse_Records] %s upgrade has finished[%s(%d)]", strName.c_str(),
                MODULE_IDENTITY);
        return true;
    }

    // The module's status row is shared with the later steps: status 2 may be
    // the approval migration's, when a records pass that started from "0.0.0"
    // stopped there. The reached version tells the two apart.
    if (nStatus == 2) {
        std::string strStepVer;
        if (!QueryReachedVersion(nErrorCode, strErrorInfo, strStepVer, pWrite)) {
            UPG_LOG(LOG_ERROR, "[%s][CRawTo100::UpgradeCourse_Records] Query status info failed[%s(%d)]",
                    strName.c_str());
            return false;
        }
        if (CVersion(strStepVer).IsNotOlderThan(GetToVersion())) {
            UPG_LOG(LOG_INFO,
                    "[%s][CRawTo100::UpgradeCourse_Records] %s visit records already copied, step_ver %s[%s(%d)]",
                    strName.c_str(), MODULE_IDENTITY, strStepVer.c_str());
            return true;
        }
    }

    // Schedule 1: the copy completed and only the finished marker is missing;
    // copying again would duplicate every visit record.
    if (nSchedule == 0) {
        // Status 2: an earlier pass started the copy and its stored resume
        // position counts; a start marker would set it back to 0.
        if (nStatus != 2) SetUpgradeStarted(nErrorCode, strErrorInfo, pWrite);
        if (!RecordsData2Destination_VisitorRecord(nErrorCode, strErrorInfo, pRead, pWrite, nSchedule,
                                                   nRateProgress)) {
            UPG_LOG(LOG_ERROR,
                    "[%s][CRawTo100::RecordsData2Destination_VisitorRecord] %s step 1 upgrade failed[%s(%d)]",
                    strName.c_str(), MODULE_IDENTITY);
            return false;
        }
        if (!SetUpgradeProgress(nErrorCode, strErrorInfo, nSchedule + 1, 0, pWrite)) {
            UPG_LOG(LOG_ERROR,
                    "[%s][CRawTo100::RecordsData2Destination_VisitorRecord] %s step 1 mark status failed[%s(%d)]",
                    strName.c_str(), MODULE_IDENTITY);
            return false;
        }
    }

    // A failed marker leaves its error in the fields but does not fail the pass.
    SetUpgradeFinished(nErrorCode, strErrorInfo, pWrite);
    return true;
}

bool CRawTo100::QueryReachedVersion(int& nErrorCode, std::string& strErrorInfo, std::string& strStepVer,
                                    DBAccessConnPtr pConn) {
    const std::string strSql = str_fmt(kReachedVersionQuery, CSqlText::Escape(MODULE_IDENTITY).c_str());
    if (!pConn->ExecuteQuery(strSql, RowReaders::LastString("step_ver", strStepVer)))
        return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo);
    return true;
}

bool CRawTo100::RecordsData2Destination_VisitorRecord(int& nErrorCode, std::string& strErrorInfo,
                                                      DBAccessConnPtr pRead, DBAccessConnPtr pWrite, int nSchedule,
                                                      int nStartId) {
    const std::string strName = QualifiedName("RecordsData2Destination_VisitorRecord");
    // Asked once, as the copy starts: a pass never changes its mode halfway.
    const bool bBulkAsked = CBulkMode::Enabled(strName.c_str());

    int nMaxId = 0, nMinId = 0;
    int nRangeCode = 0;
    std::string strRangeInfo;
    if (!QueryMaxValue(nRangeCode, strRangeInfo, &nMaxId, kRecordSourceTable, "id", pRead) ||
        !QueryMinValue(nRangeCode, strRangeInfo, &nMinId, kRecordSourceTable, "id", pRead)) {
        if (IsMissingRelation(nRangeCode)) {
            UPG_LOG(LOG_INFO, "[%s]%s does not exist, no visit record to copy.[%s(%d)]", strName.c_str(),
                    kRecordSourceTable);
            return true;
        }
        nErrorCode = nRangeCode;
        strErrorInfo = strRangeInfo;
        UPG_LOG(LOG_ERROR, "[%s][CRawTo100::RecordsData2Destination_MEM] Query id range failed[%s(%d)]",
                strName.c_str());
        return false;
    }

    // 64-bit: a range near the largest int ends past it instead of wrapping.
    const long long llMaxId = nMaxId;
    long long llStartId = nStartId == 0 ? nMinId : nStartId;
    std::string strSequence;
    const bool bBulk = bBulkAsked && SetBasedCopyAgrees(pRead, pWrite, strSequence);
    auto fnBegin = [&] {
        return pWrite->BeginTransaction() || pWrite->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
                   UPG_LOG(LOG_ERROR, "[%s][CRawTo100::RecordsData2Destination_MEM] Begin transaction failed[%s(%d)]",
                           strName.c_str());
               });
    };
    std::vector<stru_visitor_record> vecBatch;
    while (llStartId <= llMaxId) {
        // Bulk mode: the set statement in the range's transaction. A range it
        // did not copy goes the default mode's way: a refused row is then
        // reported as ever, and an empty range is logged and skipped as ever.
        bool bCopied = false;
        if (bBulk) {
            if (!fnBegin()) return false;
            if (!CopyRangeSetBased(nErrorCode, strErrorInfo, pWrite, strSequence, llStartId, bCopied)) {
                UPG_LOG(LOG_ERROR, kInsertFailed, strName.c_str());
                return false;
            }
        }
        if (!bCopied) {
            // The previous range's list was handed on; one allocation per range.
            vecBatch.clear();
            vecBatch.reserve(kRangeWidth);
            if (!QueryHistoryVisitorRecord(nErrorCode, strErrorInfo, vecBatch, pRead, static_cast<int>(llStartId))) {
                UPG_LOG(LOG_ERROR, "[%s][CRawTo100::RecordsData2Destination_MEM] Query history data failed[%s(%d)]",
                        strName.c_str());
                return false;
            }
            if (vecBatch.empty()) {
                if (!SkipEmptyRanges(pRead, llMaxId, llStartId)) {
                    return pRead->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
                        UPG_LOG(LOG_ERROR,
                                "[%s][CRawTo100::RecordsData2Destination_MEM] Query next data id failed[%s(%d)]",
                                strName.c_str());
                    });
                }
                UPG_LOG(LOG_INFO, "[%s]list data number: %d.[%s(%d)]", strName.c_str(), 0);
                UPG_LOG(LOG_INFO, "[%s]Get max relation id empty, plan number: %d, max: %d.[%s(%d)]",
                        strName.c_str(), static_cast<int>(std::min<long long>(llStartId, INT_MAX)), nMaxId);
                continue;
            }
            if (!fnBegin()) return false;
            if (!WriteDateToVisitorRecord(nErrorCode, strErrorInfo, std::move(vecBatch), pWrite)) {
                pWrite->Rollback();
                UPG_LOG(LOG_ERROR, kInsertFailed, strName.c_str());
                return false;
            }
        }
        llStartId += kRangeWidth;
        // Stored in the range's own transaction: a stop between the commit and
        // a separate progress update would copy the range again on resume. A
        // next start past the largest int does not fit rate_progress, and no id
        // lies beyond it: this range completes the copy, and says so instead.
        const bool bLastPossible = llStartId > INT_MAX;
        if (!SetUpgradeProgress(nErrorCode, strErrorInfo, bLastPossible ? nSchedule + 1 : nSchedule,
                                bLastPossible ? 0 : static_cast<int>(llStartId), pWrite)) {
            pWrite->Rollback();
            UPG_LOG(LOG_ERROR, "[%s][CRawTo100::RecordsData2Destination_MEM] Set upgrade status failed[%s(%d)]",
                    strName.c_str());
            return false;
        }
        // A refused COMMIT (a deferred constraint) ended the transaction: neither
        // the rows nor the progress were stored, so a rerun starts at this range.
        if (!pWrite->Commit()) {
            return pWrite->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
                UPG_LOG(LOG_ERROR, "[%s][CRawTo100::RecordsData2Destination_MEM] Commit new data failed[%s(%d)]",
                        strName.c_str());
            });
        }
    }
    return true;
}

bool CRawTo100::SetBasedCopyAgrees(const DBAccessConnPtr& pRead, const DBAccessConnPtr& pWrite,
                                   std::string& strSequence) {
    std::string strReadOrigin, strWriteOrigin;
    int nSameColumns = 0;
    auto fnProbe = [&](db_layer::CConnect& conn) {
        if (conn.IsEOF()) return;
        nSameColumns = conn.GetInt("same");
        strSequence = conn.GetString("sequence");
    };
    // Quietly: a probe that fails only means the default mode's way.
    const bool bProbed = pWrite->Quietly([&] {
        return pRead->Quietly([&] {
            return pRead->ExecuteQuery(kSessionOrigin, RowReaders::LastString("origin", strReadOrigin)) &&
                   pWrite->ExecuteQuery(kSessionOrigin, RowReaders::LastString("origin", strWriteOrigin)) &&
                   pWrite->ExecuteQuery(kSetBasedProbe, fnProbe);
        });
    });
    if (bProbed && !strReadOrigin.empty() && strReadOrigin == strWriteOrigin && nSameColumns == kCopiedColumns)
        return true;
    UPG_LOG(LOG_INFO,
            "[%s]bulk mode: the visit records are copied one statement per row, since the two connections are not "
            "sessions of one database with one DateStyle, or the two tables' columns differ in type.[%s(%d)]",
            QualifiedName("RecordsData2Destination_VisitorRecord").c_str());
    return false;
}

bool CRawTo100::CopyRangeSetBased(int& nErrorCode, std::string& strErrorInfo, const DBAccessConnPtr& pWrite,
                                  const std::string& strSequence, long long llStartId, bool& bCopied) {
    const std::string strSequenceName = CSqlText::Literal(strSequence);
    std::string strDrawn;
    // Set back only to a position that was read: an unread one would read as "nothing drawn yet".
    bool bPositionRead = false;
    const std::string strSql = str_fmt(kRecordRangeCopy, static_cast<int>(llStartId), llStartId + (kRangeWidth - 1));
    bCopied = pWrite->Quietly([&] {
        bPositionRead = !strSequence.empty() && pWrite->ExecuteQuery(str_fmt(kSequenceDrawn, strSequenceName.c_str()),
                                                                      RowReaders::LastString("drawn", strDrawn));
        return (strSequence.empty() || bPositionRead) && pWrite->ExecuteHelper(strSql) && pWrite->AffectedRows() > 0;
    });
    if (bCopied) return true;
    // Refused, or no row inserted (an empty range, or a trigger that kept the
    // rows out): the transaction takes nothing, and the range query decides.
    // The keys the statement drew are given back, so that the rows done again
    // get the keys (and a refused row the error text) of the default mode. The
    // take-back is not quiet, and a failed one fails the range: redone without
    // it, the rows would get other keys than the default mode gives them.
    const std::string strRestore =
        str_fmt(kSequenceRestore, CSqlText::NullableLiteral(strDrawn, strDrawn.empty()).c_str(),
                strDrawn.empty() ? "false" : "true", strSequenceName.c_str());
    if (pWrite->Rollback() && (!bPositionRead || pWrite->ExecuteQuery(strRestore, RowReaders::Ignore()))) return true;
    return pWrite->CopyErrorAndFail(nErrorCode, strErrorInfo);
}

bool CRawTo100::QueryHistoryVisitorRecord(int& nErrorCode, std::string& strErrorInfo,
                                          std::vector<stru_visitor_record>& vecBatch, DBAccessConnPtr pRead,
                                          int nStartId) {
    const std::string strSql =
        str_fmt(kRecordRangeQuery, nStartId, static_cast<long long>(nStartId) + (kRangeWidth - 1));
    auto fnRecords = RowReaders::Collect(vecBatch, &stru_visitor_record::ReadFrom);
    if (!pRead->ExecuteQuery(strSql, fnRecords)) return pRead->CopyErrorAndFail(nErrorCode, strErrorInfo);
    return true;
}

std::string CRawTo100::VisitorRecordInsert(const stru_visitor_record& row) {
    using R = stru_visitor_record;
    return str_fmt(kRecordInsert, row.TextValue(R::OBJECT_GUID, row.object_guid).c_str(),
                   row.IntValue(R::VISITOR_ID, row.visitor_id).c_str(),
                   row.IntValue(R::INTERVIEWEE_ID, row.interviewee_id).c_str(),
                   row.IntValue(R::VISIT_REASON, row.visit_reason).c_str(),
                   row.TextValue(R::VISIT_REASON_DETAIL, row.visit_reason_detail).c_str(),
                   row.IntValue(R::VISITOR_STATUS, row.visitor_status).c_str(),
                   row.TextValue(R::START_VALID_TIME, row.start_valid_time).c_str(),
                   row.TextValue(R::END_VALID_TIME, row.end_valid_time).c_str(),
                   row.TextValue(R::CREATE_TIME, row.create_time).c_str(),
                   row.TextValue(R::UPDATE_TIME, row.update_time).c_str(),
                   row.IntValue(R::START_TIME_DIFFER, row.start_time_differ).c_str(),
                   row.IntValue(R::END_TIME_DIFFER, row.end_time_differ).c_str(),
                   row.TextValue(R::TEMPER, row.temper).c_str(),
                   row.IntValue(R::TEMPER_STATUS, row.temper_status).c_str(),
                   row.IntValue(R::IS_DELETED, row.is_deleted).c_str());
}

bool CRawTo100::WriteDateToVisitorRecord(int& nErrorCode, std::string& strErrorInfo,
                                         std::vector<stru_visitor_record> vecBatch, DBAccessConnPtr pWrite) {
    // One INSERT per record, as ever, but sent as one batch: no round trip per
    // row. Each text is made as the batch goes out, so that the server works
    // on the earlier ones meanwhile, and its record is let go once made.
    const std::size_t nCount = vecBatch.size();
    auto fnText = [&vecBatch](std::size_t nRow) {
        std::string strSql = VisitorRecordInsert(vecBatch[nRow]);
        vecBatch[nRow] = stru_visitor_record();
        return strSql;
    };
    if (pWrite->ExecuteBatch(nCount, fnText) == nCount) return true;
    return pWrite->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
        UPG_LOG(LOG_ERROR, "[%s]Query failed, errorcode:%d, errorinfo:%s[%s(%d)]",
                QualifiedName("WriteDateToVisitorRecord").c_str(), nErrorCode, strErrorInfo.c_str());
    });
}

bool CRawTo100::UpgradeCourse_Config_IncreData(int& /*nErrorCode*/, std::string& /*strErrorInfo*/,
                                               db_layer::CConnect* /*pFirstConn*/, db_layer::CConnect* /*pSecondConn*/,
                                               db_layer::CConnect* /*pThirdConn*/, db_layer::DBParam /*dbParam*/) {
    return UpgradeCourse_Trivial();
}

bool CRawTo100::UpgradeCourse_Records_IncreData(int& /*nErrorCode*/, std::string& /*strErrorInfo*/,
                                                db_layer::CConnect* /*pFirstConn*/,
                                                db_layer::CConnect* /*pSecondConn*/,
                                                db_layer::CConnect* /*pThirdConn*/, db_layer::DBParam /*dbParam*/) {
    return UpgradeCourse_Trivial();
}

}  // namespace UnifiedUpgradeComponent
