// The live progress of a run: a thread of the host (the plug-in starts none)
// that looks every 0.5 s at the module's status row and at the lock waits of
// the run's connections, on connections of its own, and shows the pass, the
// step (the chain's first until the plug-in logs another), for a records pass
// the share of the walked table's key range done, the rate and the time left,
// and any lock a statement of the run waits for (table, holder, how long). Its
// connections run with a short lock_timeout and read a walked table only
// under LOCK ... NOWAIT, so the monitor itself never waits on a table lock.
// Owns its thread and connections; Stop() (or the destructor) joins the thread
// before the router goes away.
#pragma once
#include <condition_variable>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LockWatch.h"
#include "LogRouter.h"
#include "ProgressLine.h"
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

    // The first step the passes take (an index into the step table); before Start.
    void SetChainStart(int nStart);
    // Appends one JSON object per look (and at each pass's end) to strPath; before Start.
    bool WriteJsonTo(const std::string& strPath, std::string& strError);

    void Start();
    void BeginPass(const std::string& strPass);
    // bOk: whether the pass succeeded (the last JSON line's status).
    void EndPass(bool bOk);
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

    // Under m_mutex.
    std::string FirstStepOf(const std::string& strPass) const;
    void Loop();
    void PollOnce();
    void PollLocks(const std::string& strPass);
    // Fills the records position from the status row and the key range.
    void ReadPosition(SProgress& progress);
    // nSeq: the pass the look belongs to; bFinal: the pass's last line (JSON only).
    void Emit(const SProgress& progress, long long nSeq, bool bFinal);
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
    long long m_nPassSeq = 0;  // counts BeginPass and EndPass calls
    std::string m_strFirstStep;

    // Guards what the looks and EndPass both write; taken before m_mutex.
    std::mutex m_outMutex;
    std::ofstream m_json;
    SProgress m_last;  // the latest look of the current pass
    bool m_bWaitSeen = false;
    SLockWait m_lastWait;
    std::thread m_thread;

    // Owned by the polling thread. A null connection: opening it failed once.
    std::map<std::string, std::unique_ptr<db_layer::CConnect>> m_mapConnections;
    long long m_nSampledSeq = -1;
    std::string m_strRangeTable;
    long long m_nRangeLo = 0;
    long long m_nRangeHi = -1;  // below m_nRangeLo: an empty table or not read
    // The rate over the last looks (polling thread) and when a line is printed
    // off a terminal (under m_outMutex).
    CProgressLine m_line;
    std::string m_strLastWaitKey;
    long long m_nLastWaitShown = 0;
};

}  // namespace VisitorUpgradeHost
