#include "ModuleLock.h"

#include "Qarn/Base/StringUtil.h"

namespace VisitorUpgradeHost {

using Qarn::Base::StringUtil::str_fmt;

std::int64_t CModuleLock::KeyOf(const std::string& strModuleIdentity) {
    std::uint64_t nHash = 14695981039346656037ULL;
    for (unsigned char c : "visitor-upgrade:" + strModuleIdentity) {
        nHash ^= c;
        nHash *= 1099511628211ULL;
    }
    return static_cast<std::int64_t>(nHash);
}

CModuleLock::EResult CModuleLock::TryTake(db_layer::CConnect& conn, const std::string& strModuleIdentity,
                                          std::string& strDetail, int& nHolderPid) {
    nHolderPid = 0;
    strDetail.clear();
    const long long nKey = KeyOf(strModuleIdentity);
    if (!conn.Query(str_fmt("SELECT pg_try_advisory_lock(%lld) AS taken;", nKey)) || conn.IsEOF()) {
        conn.GetLastError(strDetail);
        return EResult::kFailed;
    }
    if (conn.GetString("taken") == "t") {
        return EResult::kTaken;
    }
    // A 64-bit advisory key shows in pg_locks as classid (high half) and objid (low half).
    const std::string strHolder = str_fmt(
        "SELECT l.pid::text AS pid, coalesce(a.client_addr::text, 'local') AS client, "
        "coalesce(a.application_name, '') AS app FROM pg_locks l "
        "LEFT JOIN pg_stat_activity a ON a.pid = l.pid "
        "WHERE l.locktype = 'advisory' AND l.granted AND l.objsubid = 1 "
        "AND l.database = (SELECT oid FROM pg_database WHERE datname = current_database()) "
        "AND l.classid::bigint = ((%lld::bigint >> 32) & 4294967295) "
        "AND l.objid::bigint = (%lld::bigint & 4294967295);",
        nKey, nKey);
    if (!conn.Query(strHolder)) {
        conn.GetLastError(strDetail);
        return EResult::kFailed;
    }
    if (!conn.IsEOF()) {
        nHolderPid = conn.GetInt("pid");
        strDetail = "server process " + conn.GetString("pid") + ", client " + conn.GetString("client");
        const std::string strApp = conn.GetString("app");
        if (!strApp.empty()) strDetail += ", application " + strApp;
    }
    return EResult::kHeldElsewhere;
}

}  // namespace VisitorUpgradeHost
