#include "LockWatch.h"

#include "EscapedText.h"
#include "Qarn/Base/StringUtil.h"

namespace VisitorUpgradeHost {

using Qarn::Base::StringUtil::str_fmt;

namespace {

// The lock asked for and not granted; for a row lock the wait is on the holder's
// transaction, and the table is that of the tuple lock the waiter already has.
// A table of another database is named by its oid (regclass reads this one's
// catalog). waitstart is read through to_jsonb, so servers without the column
// (before 14) answer too, with -1 seconds.
constexpr const char* kWaitQuery =
    "SELECT w.locktype, "
    "CASE WHEN w.rel IS NULL THEN '' "
    "WHEN w.db = (SELECT oid FROM pg_database WHERE datname = current_database()) THEN w.rel::regclass::text "
    "ELSE 'relation ' || w.rel || ' of database ' || coalesce((SELECT datname FROM pg_database d "
    "WHERE d.oid = w.db), w.db::text) END AS tablename, "
    "coalesce(floor(extract(epoch FROM clock_timestamp() - w.waitstart))::int, -1) AS seconds, "
    "coalesce(h.pid, -1) AS holder, coalesce(h.application_name, '') AS app, "
    "CASE WHEN h.client_port = -1 THEN 'local' ELSE coalesce(host(h.client_addr), '') END AS client, "
    "greatest(cardinality(w.holders) - 1, 0) AS more FROM ("
    "SELECT l.locktype, coalesce(l.relation, t.relation) AS rel, "
    "CASE WHEN l.relation IS NULL THEN t.database ELSE l.database END AS db, "
    "(to_jsonb(l) ->> 'waitstart')::timestamptz AS waitstart, pg_blocking_pids(l.pid) AS holders "
    "FROM pg_locks l LEFT JOIN LATERAL (SELECT relation, database FROM pg_locks t WHERE t.pid = l.pid "
    "AND t.granted AND t.locktype = 'tuple' LIMIT 1) t ON true "
    "WHERE l.pid = %d AND NOT l.granted LIMIT 1) w "
    "LEFT JOIN pg_stat_activity h ON h.pid = w.holders[1];";

}  // namespace

bool CLockWatch::Read(db_layer::CConnect& conn, int nPid, SLockWait& wait) {
    if (!conn.Query(str_fmt(kWaitQuery, nPid)) || conn.IsEOF()) return false;
    // A braced list is evaluated in order, member by member.
    wait = SLockWait{std::string(),          nPid,
                     conn.GetString("tablename"), conn.GetString("locktype"),
                     conn.GetInt("holder"),       conn.GetString("app"),
                     conn.GetString("client"),    std::string(),
                     conn.GetInt("more"),         conn.GetInt("seconds")};
    return true;
}

std::string CLockWatch::What(const SLockWait& wait) {
    if (!wait.strTable.empty()) return "a lock on " + CEscapedText::Of(wait.strTable);
    return "a lock of type " + CEscapedText::Of(wait.strLockType);
}

std::string CLockWatch::Holder(const SLockWait& wait) {
    if (wait.nHolderPid < 0) return "a process the server did not name";
    std::string strHolder = wait.nHolderPid == 0 ? std::string("a prepared transaction")
                                                 : "server process " + std::to_string(wait.nHolderPid);
    std::string strDetail;
    auto fnAdd = [&strDetail](const std::string& strPart) { strDetail += (strDetail.empty() ? "" : ", ") + strPart; };
    if (!wait.strHolderOption.empty()) fnAdd("this run's own " + wait.strHolderOption + " connection");
    if (!wait.strHolderApp.empty()) fnAdd("application " + CEscapedText::Of(wait.strHolderApp));
    if (!wait.strHolderClient.empty()) fnAdd("client " + CEscapedText::Of(wait.strHolderClient));
    if (!strDetail.empty()) strHolder += " (" + strDetail + ")";
    if (wait.nMoreHolders > 0) strHolder += " and " + std::to_string(wait.nMoreHolders) + " more";
    return strHolder;
}

}  // namespace VisitorUpgradeHost
