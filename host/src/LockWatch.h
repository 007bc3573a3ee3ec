// What one server process of the run waits for: the lock it has asked for and
// not been granted, the table, the process that holds it (pid, application,
// client) and since when. Read from pg_locks, pg_blocking_pids() and
// pg_stat_activity on a connection of the monitor to the same database: these
// views take no table lock, so the look never waits behind the lock it reports.
// Stateless.
#pragma once
#include <string>

#include "db_layer/CConnect.h"

namespace VisitorUpgradeHost {

struct SLockWait {
    std::string strOption;        // the run's connection that waits ("--db2")
    int nWaiterPid = 0;
    std::string strTable;         // "rt_data.visitor_record"; "" when the lock is on no table
    std::string strLockType;      // pg_locks.locktype of the lock asked for
    int nHolderPid = -1;          // -1: not known; 0: a prepared transaction
    std::string strHolderApp;
    std::string strHolderClient;  // address, "local" for a Unix socket, "" when not shown
    std::string strHolderOption;  // the run's own connection holding it, if so
    int nMoreHolders = 0;
    long long nSeconds = 0;       // since the wait began
};

class CLockWatch {
public:
    // True and wait filled when process nPid waits for a lock; false when it does
    // not, or when the views cannot be read (the monitor then shows less).
    static bool Read(db_layer::CConnect& conn, int nPid, SLockWait& wait);

    // "a lock on rt_data.visitor_record"
    static std::string What(const SLockWait& wait);
    // "server process 1234 (application psql, client local)"
    static std::string Holder(const SLockWait& wait);
};

}  // namespace VisitorUpgradeHost
