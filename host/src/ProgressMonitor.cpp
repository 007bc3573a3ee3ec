#include "ProgressMonitor.h"

#include <chrono>

#include "EscapedText.h"
#include "HostConnections.h"
#include "StatusRows.h"
#include "StepTable.h"
#include "db_layer/ErrorCodes.h"

namespace VisitorUpgradeHost {

namespace {

// A wait that goes on is shown again after this long.
constexpr long long kWaitRepeatSeconds = 10;

// LOCK ... NOWAIT on a table someone holds.
const int kLockNotAvailable = db_layer::SqlStateToCode("55P03");

long long NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

CProgressMonitor::CProgressMonitor(CLogRouter& router, std::string strModule, std::string strSecondConnInfo,
                                   std::string strThirdConnInfo)
    : m_router(router),
      m_strModule(std::move(strModule)),
      m_strSecondConnInfo(std::move(strSecondConnInfo)),
      m_strThirdConnInfo(std::move(strThirdConnInfo)) {}

CProgressMonitor::~CProgressMonitor() { Stop(); }

void CProgressMonitor::Watch(const std::string& strOption, const std::string& strConnInfo, int nPid) {
    m_vecWatched.push_back({strOption, strConnInfo, nPid});
}

void CProgressMonitor::Start() { m_thread = std::thread([this] { Loop(); }); }

void CProgressMonitor::BeginPass(const std::string& strPass) {
    m_router.ForgetPass();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_strPass = strPass;
    m_nPassStart = NowSeconds();
    m_bWaitSeen = false;
    m_wake.notify_all();
}

void CProgressMonitor::EndPass() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_strPass.clear();
    }
    m_router.ClearProgress();
}

void CProgressMonitor::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
        m_wake.notify_all();
    }
    if (m_thread.joinable()) m_thread.join();
    m_router.ClearProgress();
}

bool CProgressMonitor::LastWait(SLockWait& wait) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bWaitSeen) wait = m_lastWait;
    return m_bWaitSeen;
}

void CProgressMonitor::Loop() {
    const auto interval = std::chrono::milliseconds(kIntervalMs);
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_bStop) {
        m_wake.wait_for(lock, interval);
        if (m_bStop) break;
        if (m_strPass.empty()) continue;
        lock.unlock();
        PollOnce();
        lock.lock();
    }
}

db_layer::CConnect* CProgressMonitor::ConnectionTo(const std::string& strConnInfo) {
    auto found = m_mapConnections.find(strConnInfo);
    if (found != m_mapConnections.end()) return found->second.get();
    // A monitor that cannot connect shows less; it never stops the run.
    std::string strIgnored;
    std::unique_ptr<db_layer::CConnect> pConn = CHostConnections::OpenOne(strConnInfo, "monitor", strIgnored);
    // No look may queue behind a lock for long, nor hang on a stalled server.
    if (pConn && !pConn->Execute("SET lock_timeout = 100; SET statement_timeout = 5000;")) pConn.reset();
    return m_mapConnections.emplace(strConnInfo, std::move(pConn)).first->second.get();
}

void CProgressMonitor::PollOnce() {
    std::string strPass;
    long long nStart = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        strPass = m_strPass;
        nStart = m_nPassStart;
    }
    if (strPass.empty()) return;

    PollLocks(strPass);

    const std::string strClass = m_router.LastStepClass();
    std::string strStepVer;
    const std::string strLine = "visitor-upgrade: " + strPass + " " + std::to_string(NowSeconds() - nStart) +
                                "s | step " + (strClass.empty() ? std::string("?") : strClass) +
                                StatusText(strPass, strClass, strStepVer);
    if (m_router.IsTerminal()) {
        m_router.ShowProgress(strLine);
        return;
    }
    const std::string strAnnounce = strPass + "|" + strClass + "|" + strStepVer;
    if (strAnnounce != m_strLastAnnounced) {
        m_strLastAnnounced = strAnnounce;
        m_router.PrintLine(strLine);
    }
}

void CProgressMonitor::PollLocks(const std::string& strPass) {
    for (const SWatched& watched : m_vecWatched) {
        db_layer::CConnect* pConn = ConnectionTo(watched.strConnInfo);
        SLockWait wait;
        if (pConn == nullptr || !CLockWatch::Read(*pConn, watched.nPid, wait)) continue;
        wait.strOption = watched.strOption;
        for (const SWatched& other : m_vecWatched) {
            if (other.nPid == wait.nHolderPid && other.strConnInfo == watched.strConnInfo) {
                wait.strHolderOption = other.strOption;
            }
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lastWait = wait;
            m_bWaitSeen = true;
        }
        // Shown when it starts or changes, and again while it lasts.
        const std::string strKey = wait.strOption + "|" + wait.strTable + "|" + std::to_string(wait.nHolderPid);
        const long long nNow = NowSeconds();
        if (strKey == m_strLastWaitKey && nNow - m_nLastWaitShown < kWaitRepeatSeconds) continue;
        m_strLastWaitKey = strKey;
        m_nLastWaitShown = nNow;
        const std::string strWaits =
            wait.nSeconds >= 0 ? " has waited " + std::to_string(wait.nSeconds) + "s for " : " waits for ";
        m_router.PrintLine("visitor-upgrade: " + strPass + ": " + wait.strOption + strWaits + CLockWatch::What(wait) +
                           ", held by " + CLockWatch::Holder(wait));
    }
}

std::string CProgressMonitor::StatusText(const std::string& strPass, const std::string& strClass,
                                         std::string& strStepVer) {
    const bool bThird = strPass == "records-incr" && !m_strThirdConnInfo.empty();
    db_layer::CConnect* pConn = ConnectionTo(bThird ? m_strThirdConnInfo : m_strSecondConnInfo);
    if (pConn == nullptr) return std::string();

    SStatusRow row;
    std::vector<SStatusRow> vecRows;
    std::string strText;
    std::string strError;
    if (CStatusRows::Read(*pConn, m_strModule, vecRows, strError) && !vecRows.empty()) {
        row = vecRows.back();
        for (const SStatusRow& candidate : vecRows) {
            if (candidate.strVersionNo == CStatusRows::kNarrowedVersionNo) row = candidate;
        }
        strStepVer = row.strStepVer;
        strText += " | step_ver " + CEscapedText::Of(row.strStepVer) + " status " + CEscapedText::Of(row.strStatus);
    }

    if (strPass != "records" && strPass != "records-incr") return strText;
    // The visit record copy is the only migration that sets status 2 before any step is named.
    const std::string strTable = CStepTable::WalkedTable(strClass.empty() && row.strStatus == "2" ? "CRawTo100"
                                                                                                    : strClass);
    if (strTable.empty()) return strText;
    if (strTable != m_strRangeTable && ReadKeyRange(*pConn, strTable)) m_strRangeTable = strTable;
    strText += " | " + strTable + " rate_progress " + CEscapedText::Of(row.strRateProgress);
    if (strTable == m_strRangeTable && !m_strRange.empty()) strText += " of " + m_strRange;
    return strText;
}

bool CProgressMonitor::ReadKeyRange(db_layer::CConnect& conn, const std::string& strTable) {
    // The table may be locked by the run or by others: take its read lock only
    // if that needs no waiting, and try again at the next look otherwise. Any
    // other failure (a statement timeout on a huge table) is not tried again.
    m_strRange.clear();
    if (!conn.BeginTransaction()) return true;
    const bool bRead = conn.Execute("LOCK TABLE " + strTable + " IN ACCESS SHARE MODE NOWAIT;") &&
                       conn.Query("SELECT min(id)::text AS lo, max(id)::text AS hi FROM " + strTable + ";") &&
                       !conn.IsEOF();
    if (bRead) m_strRange = conn.GetString("lo") + ".." + conn.GetString("hi");
    std::string strIgnored;
    const bool bLocked = !bRead && conn.GetLastError(strIgnored) == kLockNotAvailable;
    if (!bRead || !conn.Commit()) conn.Rollback();
    return !bLocked;
}

}  // namespace VisitorUpgradeHost
