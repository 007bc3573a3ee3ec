// The live progress of a run: a thread of the host (the plug-in starts none)
// that polls the module's status row on connections of its own and shows the
// pass, the step and, for record migrations, rate_progress against the key
// range of the table being walked. Owns its thread and connections; Stop()
// (or the destructor) joins the thread before the router goes away.
#pragma once
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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

    void Start();
    void BeginPass(const std::string& strPass);
    void EndPass();
    void Stop();

    // The table a record migration of the step walks, by the step's class; "" for none.
    static std::string WalkedTable(const std::string& strStepClass, const std::string& strStatus);

private:
    void Loop();
    void PollOnce();
    db_layer::CConnect* ConnectionFor(const std::string& strPass);

    CLogRouter& m_router;
    const std::string m_strModule;
    const std::string m_strSecondConnInfo;
    const std::string m_strThirdConnInfo;
    std::unique_ptr<db_layer::CConnect> m_pSecond;
    std::unique_ptr<db_layer::CConnect> m_pThird;
    bool m_bSecondTried = false;
    bool m_bThirdTried = false;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_bStop = false;
    std::string m_strPass;
    long long m_nPassStart = 0;
    std::thread m_thread;

    // Owned by the polling thread.
    std::string m_strLastAnnounced;
    std::string m_strRangeTable;
    std::string m_strRange;
};

}  // namespace VisitorUpgradeHost
