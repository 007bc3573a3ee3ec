#include "Upgrade/RawTo100/UnloggedStatement.h"

#include <iterator>
#include <utility>

#include "Qarn/Base/StringUtil.h"
#include "Upgrade/LogPosition.h"
#include "Upgrade/SqlText.h"

namespace UnifiedUpgradeComponent {

using Qarn::Base::StringUtil::str_fmt;

namespace {

struct SQuietSetting {
    const char* szName;
    const char* szQuiet;  // the value with which the setting writes no statement text
};

// Every setting that writes a statement's text to the server's log, keeps it for
// a crash report (track_activities: "failed process was running: ...") or stores
// it for good (pg_stat_statements, where that module is loaded). Settings this
// server does not know give no row and are left alone.
const SQuietSetting kStatementSettings[] = {
    {"log_statement", "none"},
    {"log_min_duration_statement", "-1"},
    {"log_min_duration_sample", "-1"},
    {"log_min_error_statement", "panic"},
    {"debug_print_parse", "off"},
    {"debug_print_rewritten", "off"},
    {"track_activities", "off"},
    {"pg_stat_statements.track_utility", "off"},
};
const SQuietSetting kSampling = {"log_transaction_sample_rate", "0"};

// The role may change a "user" setting, and a "superuser" one when it is a superuser.
const char* const kSettingsQuery =
    "SELECT s.name, s.setting, s.source, (s.context = 'user' OR r.rolsuper)::int AS may_set FROM pg_settings s, "
    "pg_roles r WHERE r.rolname = current_user AND s.name IN (%s);";
const char* const kSetLocal = "SET LOCAL %s = '%s';";
const char* const kSetSession = "SET %s = '%s';";
const char* const kResetSession = "RESET %s;";

std::string NameList(const SQuietSetting* pBegin, const SQuietSetting* pEnd) {
    std::string strNames;
    for (const SQuietSetting* p = pBegin; p != pEnd; ++p) {
        if (!strNames.empty()) strNames += ", ";
        strNames += CSqlText::Literal(p->szName);
    }
    return strNames;
}

const SQuietSetting* FindSetting(const std::string& strName) {
    for (const SQuietSetting& setting : kStatementSettings)
        if (strName == setting.szName) return &setting;
    return nullptr;
}

void LogUnprotected(const std::string& strOwner, const std::string& strNames) {
    UPG_LOG(LOG_INFO, "[%s]The role may not change %s: the server may write the password to its log.[%s(%d)]",
            strOwner.c_str(), strNames.c_str());
}

}  // namespace

CUnloggedStatement::CUnloggedStatement(DBAccessConnPtr pConn, std::string strOwner)
    : m_pConn(std::move(pConn)), m_strOwner(std::move(strOwner)) {}

bool CUnloggedStatement::Read(int& nErrorCode, std::string& strErrorInfo, const std::string& strNames,
                              std::vector<SSetting>& vecRead) {
    auto fnSettings = [&vecRead](db_layer::CConnect& conn) {
        for (; !conn.IsEOF(); conn.MoveNext()) {
            SSetting setting;
            setting.strName = conn.GetString("name");
            setting.strValue = conn.GetString("setting");
            setting.strSource = conn.GetString("source");
            setting.bMaySet = conn.GetInt("may_set") != 0;
            vecRead.push_back(std::move(setting));
        }
    };
    if (m_pConn->ExecuteQuery(str_fmt(kSettingsQuery, strNames.c_str()), fnSettings)) return true;
    m_pConn->GetLastError(nErrorCode, strErrorInfo);
    return false;
}

// Nothing to send (every setting already quiet, or none the role may change) is no failure.
bool CUnloggedStatement::Send(int& nErrorCode, std::string& strErrorInfo, const std::string& strSql) {
    if (strSql.empty() || m_pConn->ExecuteHelper(strSql)) return true;
    m_pConn->GetLastError(nErrorCode, strErrorInfo);
    return false;
}

bool CUnloggedStatement::PauseSampling(int& nErrorCode, std::string& strErrorInfo) {
    std::vector<SSetting> vecRead;
    if (!Read(nErrorCode, strErrorInfo, NameList(&kSampling, &kSampling + 1), vecRead)) return false;
    if (vecRead.empty() || vecRead[0].strValue == kSampling.szQuiet) return true;
    if (!vecRead[0].bMaySet) {
        LogUnprotected(m_strOwner, kSampling.szName);
        return true;
    }
    // RESET where the session never set it itself: the value of the server, database
    // or role then applies again, as before, also after a later reload.
    m_strResume = vecRead[0].strSource == "session"
                      ? str_fmt(kSetSession, kSampling.szName, CSqlText::Escape(vecRead[0].strValue).c_str())
                      : str_fmt(kResetSession, kSampling.szName);
    if (Send(nErrorCode, strErrorInfo, str_fmt(kSetSession, kSampling.szName, kSampling.szQuiet))) return true;
    m_strResume.clear();
    return false;
}

bool CUnloggedStatement::ResumeSampling(int& nErrorCode, std::string& strErrorInfo) {
    if (!Send(nErrorCode, strErrorInfo, m_strResume)) return false;
    m_strResume.clear();
    return true;
}

bool CUnloggedStatement::ReadSettings(int& nErrorCode, std::string& strErrorInfo) {
    m_strQuiet.clear();
    m_strBack.clear();
    m_vecUnprotected.clear();
    std::vector<SSetting> vecRead;
    if (!Read(nErrorCode, strErrorInfo, NameList(std::begin(kStatementSettings), std::end(kStatementSettings)),
              vecRead))
        return false;
    for (const SSetting& setting : vecRead) {
        const SQuietSetting* pQuiet = FindSetting(setting.strName);
        if (pQuiet == nullptr || setting.strValue == pQuiet->szQuiet) continue;
        if (!setting.bMaySet) {
            m_vecUnprotected.push_back(pQuiet->szName);
            continue;
        }
        // A failing SET would abort the caller's transaction: only settings the role may change are sent.
        m_strQuiet += str_fmt(kSetLocal, pQuiet->szName, pQuiet->szQuiet);
        m_strBack += str_fmt(kSetLocal, pQuiet->szName, CSqlText::Escape(setting.strValue).c_str());
    }
    if (!m_vecUnprotected.empty()) {
        std::string strNames;
        for (const std::string& strName : m_vecUnprotected) strNames += (strNames.empty() ? "" : ", ") + strName;
        LogUnprotected(m_strOwner, strNames);
    }
    return true;
}

bool CUnloggedStatement::Execute(int& nErrorCode, std::string& strErrorInfo, const std::string& strSql) {
    // Three texts: the server decides whether to log a text before it runs it, so
    // the settings must have changed before the secret's text arrives, and its
    // duration line is decided after it ran, before the settings come back.
    if (!Send(nErrorCode, strErrorInfo, m_strQuiet)) return false;
    if (!m_pConn->ExecuteHelper(strSql)) {
        m_pConn->GetLastError(nErrorCode, strErrorInfo);
        return false;
    }
    return Send(nErrorCode, strErrorInfo, m_strBack);
}

}  // namespace UnifiedUpgradeComponent
