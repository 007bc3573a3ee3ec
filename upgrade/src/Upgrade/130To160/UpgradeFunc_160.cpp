#include "Upgrade/130To160/UpgradeFunc_160.h"

#include <memory>
#include <set>
#include <string>

#include "Upgrade/LogPosition.h"
#include "Upgrade/PassMarker.h"

namespace UnifiedUpgradeComponent {

namespace {
const SStepLiterals kLiterals = {"C130ToC160", "1.3.0", "1.6.0", "update_V1.2.0", nullptr, " "};

// One statement per table, whole, without batching.
const char* const kGroupFixUps[] = {
    "update visitor.visitor_record  set visitor_group_id = (select visitor.visit_group_visitor_rel.visitor_group_id "
    "from visitor.visit_group_visitor_rel where visitor.visit_group_visitor_rel.visitor_id = "
    "visitor.visitor_record.visitor_id order by visitor.visit_group_visitor_rel.update_time LIMIT 1)",
    "update visitor.visitor_appoint_record  set visitor_group_id = (select "
    "visitor.visit_group_visitor_rel.visitor_group_id from visitor.visit_group_visitor_rel where "
    "visitor.visit_group_visitor_rel.visitor_id = visitor.visitor_appoint_record.visitor_id order by "
    "visitor.visit_group_visitor_rel.update_time LIMIT 1)",
};

// Whether the membership table exists, and how many valid, whole-table btree
// indexes lead with (visitor_id, update_time), whatever their names: such an
// index gives each record's subquery its first membership by update_time.
// Key columns only (indnkeyatts): INCLUDE columns are not ordered.
const char* const kServingIndexQuery =
    "WITH t(rel) AS (SELECT to_regclass('visitor.visit_group_visitor_rel')) "
    "SELECT (t.rel IS NOT NULL)::int AS table_found, (SELECT count(*) FROM pg_catalog.pg_index i "
    "JOIN pg_catalog.pg_class x ON x.oid = i.indexrelid JOIN pg_catalog.pg_am m ON m.oid = x.relam "
    "JOIN pg_catalog.pg_attribute a0 ON a0.attrelid = i.indrelid AND a0.attnum = i.indkey[0] "
    "JOIN pg_catalog.pg_attribute a1 ON a1.attrelid = i.indrelid AND a1.attnum = i.indkey[1] "
    "WHERE i.indrelid = t.rel AND i.indisvalid AND i.indpred IS NULL AND i.indnkeyatts >= 2 "
    "AND m.amname = 'btree' AND a0.attname = 'visitor_id' AND a1.attname = 'update_time')::int AS serving_indexes "
    "FROM t";

// Not CONCURRENTLY: a failed plain build leaves nothing behind, where a failed
// concurrent one would leave an invalid index under this name for IF NOT EXISTS
// to skip on every rerun. The memberships are few; their writes wait briefly.
const char* const kCreateGroupIndex =
    "CREATE INDEX IF NOT EXISTS visit_group_visitor_rel_visitor_id_update_time_idx "
    "ON visitor.visit_group_visitor_rel (visitor_id, update_time)";
}  // namespace

C130ToC160::C130ToC160() : CScriptStep(kLiterals, CScriptStep::NO_INCREMENTAL_SCRIPT) {}

// Without the index every record's subquery scans every membership: the fix-up
// grows as records x memberships. The index saves time and changes no group, so
// a look-up or build that fails is a warning and the fix-up runs all the same;
// the error fields keep reporting the fix-up and the marker only.
void C130ToC160::EnsureGroupIndex(const DBAccessConnPtr& pConn) const {
    int nTableFound = 0;
    int nServing = 0;
    const bool bFound = pConn->ExecuteQuery(kServingIndexQuery, [&](db_layer::CConnect& conn) {
        if (conn.IsEOF()) return;
        nTableFound = conn.GetInt("table_found");
        nServing = conn.GetInt("serving_indexes");
    });
    // A missing table is the fix-up's own failure, logged by it.
    if (bFound && (nTableFound == 0 || nServing > 0)) return;
    if (bFound) {
        UPG_LOG(LOG_INFO,
                "[%s]no index on visitor.visit_group_visitor_rel (visitor_id, update_time), creating: %s[%s(%d)]",
                QualifiedName("UpgradeCourse_Records").c_str(), kCreateGroupIndex);
        if (pConn->ExecuteHelper(kCreateGroupIndex)) return;
    }
    int nCode = 0;
    std::string strText;
    pConn->GetLastError(nCode, strText);
    UPG_LOG(LOG_WARN,
            "[%s]group fix-up goes on without an index on visitor.visit_group_visitor_rel (visitor_id, update_time), "
            "errorcode:%d, errorinfo:%s[%s(%d)]",
            QualifiedName("UpgradeCourse_Records").c_str(), nCode, strText.c_str());
}

bool C130ToC160::UpgradeCourse_Records(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* /*pFirstConn*/,
                                       db_layer::CConnect* pSecondConn, db_layer::DBParam /*dbParam*/) {
    auto pSecond = std::make_shared<CDBAccessConn>(pSecondConn);
    // Done once per database: a records pass run again (after a kill or a later
    // failure) would also give a group to the appointments that later steps made
    // since, which one run never does. Marked only when both statements took
    // effect; a kill before the mark repeats the fix-up before any later step ran.
    CPassMarker marker(Literals().szToVersion, QualifiedName("UpgradeCourse_Records"));
    std::set<std::string> setDone;
    int nMarkCode = 0;
    std::string strMarkText;
    // Marks that cannot be read (no visitor schema) leave the fix-up to report its own failure.
    const bool bMarksRead = marker.Read(nMarkCode, strMarkText, setDone, pSecond);
    if (setDone.count(CPassMarker::kGroupFixUp) > 0) {
        UPG_LOG(LOG_INFO, "[%s]group fix-up was done before on this database, not done again.[%s(%d)]",
                QualifiedName("UpgradeCourse_Records").c_str());
    } else {
        EnsureGroupIndex(pSecond);
        // A failed fix-up is logged and passed over: the group is derived data, the version step goes on.
        bool bAllDone = true;
        for (const char* szSql : kGroupFixUps) {
            if (pSecond->ExecuteHelper(szSql)) continue;
            bAllDone = false;
            pSecond->GetLastError(nErrorCode, strErrorInfo);
            UPG_LOG(LOG_ERROR,
                    "[%s]update visitor.visitor_record  set visitor_group_id  failed, errorcode:%d, "
                    "errorinfo:%s[%s(%d)]",
                    QualifiedName("UpgradeCourse_Records").c_str(), nErrorCode, strErrorInfo.c_str());
        }
        if (bAllDone && bMarksRead) marker.Write(nErrorCode, strErrorInfo, CPassMarker::kGroupFixUp, pSecond);
    }
    SetUpgradeFinished(nErrorCode, strErrorInfo, pSecond);
    return true;
}

}  // namespace UnifiedUpgradeComponent
