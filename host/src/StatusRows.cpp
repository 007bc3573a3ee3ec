#include "StatusRows.h"

#include <utility>

#include "Qarn/Base/StringUtil.h"
#include "EscapedText.h"
#include "OneLine.h"
#include "Upgrade/SqlText.h"

namespace VisitorUpgradeHost {

using Qarn::Base::StringUtil::str_fmt;

namespace {

using UnifiedUpgradeComponent::CSqlText;


}  // namespace

bool CStatusRows::Ensure(db_layer::CConnect& conn, const std::string& strModule, const std::string& strFromVersion,
                         bool& bInserted, std::string& strError) {
    const std::string strModuleLit = CSqlText::Literal(strModule);
    const std::string strSql = str_fmt(
        "WITH added AS (INSERT INTO platform.module_version_status "
        "(module_identity, version_no, status, schedule, rate_progress, step_ver, install_time, achieve_time) "
        "SELECT %s, '%s', s.status, s.schedule, s.rate_progress, s.step_ver, s.install_time, s.achieve_time "
        "FROM (SELECT status, schedule, rate_progress, step_ver, install_time, achieve_time, 0 AS pref "
        "FROM platform.module_version_status WHERE module_identity = %s "
        "UNION ALL SELECT 0, 0, 0, %s, NULL, NULL, 1) s "
        "WHERE NOT EXISTS (SELECT 1 FROM platform.module_version_status "
        "WHERE module_identity = %s AND version_no = '%s') "
        "ORDER BY s.pref, s.achieve_time DESC NULLS LAST LIMIT 1 RETURNING 1) "
        "SELECT count(*) AS added FROM added;",
        strModuleLit.c_str(), kNarrowedVersionNo, strModuleLit.c_str(), CSqlText::Literal(strFromVersion).c_str(),
        strModuleLit.c_str(), kNarrowedVersionNo);
    if (!conn.Query(strSql) || conn.IsEOF()) {
        conn.GetLastError(strError);
        strError = COneLine::Of(strError);
        return false;
    }
    bInserted = conn.GetString("added") != "0";
    return true;
}

bool CStatusRows::Read(db_layer::CConnect& conn, const std::string& strModule, std::vector<SStatusRow>& vecRows,
                       std::string& strError) {
    // Times in ISO form with a 'T', so that each line splits on blanks.
    const std::string strSql = str_fmt(
        "SELECT version_no, status, schedule, rate_progress, step_ver, "
        "to_char(install_time, 'YYYY-MM-DD\"T\"HH24:MI:SS') AS install_time, "
        "to_char(achieve_time, 'YYYY-MM-DD\"T\"HH24:MI:SS') AS achieve_time "
        "FROM platform.module_version_status WHERE module_identity = %s ORDER BY version_no;",
        CSqlText::Literal(strModule).c_str());
    if (!conn.Query(strSql)) {
        conn.GetLastError(strError);
        strError = COneLine::Of(strError);
        return false;
    }
    vecRows.clear();
    while (!conn.IsEOF()) {
        SStatusRow row;
        row.strVersionNo = conn.GetString("version_no");
        row.strStatus = conn.GetString("status");
        row.strSchedule = conn.GetString("schedule");
        row.strRateProgress = conn.GetString("rate_progress");
        row.strStepVer = conn.GetString("step_ver");
        row.strInstallTime = conn.GetString("install_time");
        row.strAchieveTime = conn.GetString("achieve_time");
        vecRows.push_back(row);
        conn.MoveNext();
    }
    return true;
}

std::string CStatusRows::Format(const SStatusRow& row) {
    // Stored texts come from anyone who could write the table: escaped, a value
    // can neither break the line nor add a field.
    const std::pair<const char*, const std::string*> fields[] = {
        {"version_no=", &row.strVersionNo},   {" status=", &row.strStatus},
        {" schedule=", &row.strSchedule},     {" rate_progress=", &row.strRateProgress},
        {" step_ver=", &row.strStepVer},      {" install_time=", &row.strInstallTime},
        {" achieve_time=", &row.strAchieveTime}};
    std::string strLine;
    for (const auto& field : fields) strLine += field.first + CEscapedText::Of(*field.second);
    return strLine;
}

}  // namespace VisitorUpgradeHost
