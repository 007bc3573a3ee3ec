// The live progress of a run: a thread of the host (the plug-in starts none)
// that looks every 0.5 s at the module's status row and at the lock waits of
// the run's connections, on connections of its own, and shows the pass, the
// step, rate_progress against the key range of the table being walked, and any
// lock a statement of the run waits for (table, holder, how long). Its
// connections run with a short lock_timeout and read a walked table only
// under LOCK ... NOWAIT, so the monitor itself never waits on a table lock.
// Owns its thread and connections; Stop() (or the destructor) joins the thread
// before the router goes away.
#pragma once
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LockWatch.h"
#include "LogRouter.h"
#include "db_layer/CConnect.h"

namespace VisitorUpgradeHost {

class CProgressMonitor {
public:
    // strSecondConnInfo: where the passes write status; strThirdConnInfo (may be
    // empty): where the incremental records pass writes its positions.
    CProgressMonitor(CLogRouter& router, std::string strModule, std::string strSecondConnInfo,
                     std::string strThirdConnInfo);
    ~CProgressMonitor();
    CProgressMonitor(const CProgressMonitor&) = delete;
    CProgressMonitor& operator=(const CProgressMonitor&) = delete;

    // Watches server process nPid (one of the run's connections, reached with
    // strConnInfo) for lock waits. Before Start.
    void Watch(const std::string& strOption, const std::string& strConnInfo, int nPid);

    void Start();
    void BeginPass(const std::string& strPass);
    void EndPass();
    void Stop();

    // The latest lock wait seen since BeginPass; false if none was seen.
    bool LastWait(SLockWait& wait) const;

    // How often the monitor looks; a wait shorter than this may go unseen.
    static constexpr int kIntervalMs = 500;

private:
    struct SWatched {
        std::string strOption;
        std::string strConnInfo;
        int nPid;
    };

    void Loop();
    void PollOnce();
    void PollLocks(const std::string& strPass);
    std::string StatusText(const std::string& strPass, const std::string& strClass, std::string& strStepVer);
    db_layer::CConnect* ConnectionTo(const std::string& strConnInfo);
    // False when the table was locked and the read should be tried at the next look.
    bool ReadKeyRange(db_layer::CConnect& conn, const std::string& strTable);

    CLogRouter& m_router;
    const std::string m_strModule;
    const std::string m_strSecondConnInfo;
    const std::string m_strThirdConnInfo;
    std::vector<SWatched> m_vecWatched;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_bStop = false;
    std::string m_strPass;
    long long m_nPassStart = 0;
    bool m_bWaitSeen = false;
    SLockWait m_lastWait;
    std::thread m_thread;

    // Owned by the polling thread. A null connection: opening it failed once.
    std::map<std::string, std::unique_ptr<db_layer::CConnect>> m_mapConnections;
    std::string m_strLastAnnounced;
    std::string m_strRangeTable;
    std::string m_strRange;
    std::string m_strLastWaitKey;
    long long m_nLastWaitShown = 0;
};

}  // namespace VisitorUpgradeHost
