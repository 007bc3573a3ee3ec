#include "ProgressMonitor.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

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

void CProgressMonitor::SetChainStart(int nStart) {
    const std::vector<CStepTable::SChainStep> vecChain = CStepTable::Chain(nStart);
    if (nStart >= 0 && !vecChain.empty()) m_strFirstStep = vecChain.front().strClass;
}

std::string CProgressMonitor::FirstStepOf(const std::string& strPass) const {
    // Resetting keys and sequences walks no chain.
    return strPass == "reset" ? std::string() : m_strFirstStep;
}

bool CProgressMonitor::WriteJsonTo(const std::string& strPath, std::string& strError) {
    m_json.open(strPath, std::ios::out | std::ios::app);
    if (m_json.is_open()) return true;
    strError = std::strerror(errno);
    return false;
}

void CProgressMonitor::BeginPass(const std::string& strPass) {
    m_router.ForgetPass();
    {
        std::lock_guard<std::mutex> out(m_outMutex);
        m_last = SProgress();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_nPassSeq;
    m_strPass = strPass;
    m_nPassStart = NowSeconds();
    m_bWaitSeen = false;
    m_wake.notify_all();
}

void CProgressMonitor::EndPass(bool bOk) {
    SProgress last;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        last.strPass = m_strPass;
        last.strStep = FirstStepOf(last.strPass);
        last.nElapsed = NowSeconds() - m_nPassStart;
        m_strPass.clear();
        ++m_nPassSeq;
    }
    {
        std::lock_guard<std::mutex> out(m_outMutex);
        if (!m_last.strPass.empty()) {
            const long long nElapsed = last.nElapsed;
            last = m_last;
            last.nElapsed = nElapsed;
        }
    }
    const std::string strClass = m_router.LastStepClass();
    if (!strClass.empty() && strClass != last.strStep) {
        // The pass moved on to a step the monitor had not seen: its position is not known.
        last.strStep = strClass;
        last.strTable = CStepTable::WalkedTable(strClass);
        last.nDone = last.nTotal = -1;
    }
    last.strStatus = bOk ? "finished" : "failed";
    if (bOk && last.nTotal >= 0) last.nDone = last.nTotal;
    last.dRate = -1;
    Emit(last, 0, true);
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
    SProgress progress;
    long long nStart = 0;
    long long nSeq = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        progress.strPass = m_strPass;
        progress.strStep = FirstStepOf(progress.strPass);
        nStart = m_nPassStart;
        nSeq = m_nPassSeq;
    }
    if (progress.strPass.empty()) return;
    if (nSeq != m_nSampledSeq) {
        m_nSampledSeq = nSeq;
        m_line.ClearRate();
        m_strRangeTable.clear();
        m_nRangeHi = m_nRangeLo - 1;
    }

    PollLocks(progress.strPass);

    // The plug-in walks its chain in order: until it names a step, it is in the first.
    const std::string strClass = m_router.LastStepClass();
    if (!strClass.empty()) progress.strStep = strClass;
    progress.nElapsed = NowSeconds() - nStart;
    progress.strStatus = "running";
    ReadPosition(progress);
    Emit(progress, nSeq, false);
}

void CProgressMonitor::Emit(const SProgress& progress, long long nSeq, bool bFinal) {
    std::lock_guard<std::mutex> out(m_outMutex);
    {
        // A look that ended after its pass did must not follow the pass's last line.
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!bFinal && nSeq != m_nPassSeq) return;
    }
    m_last = progress;
    if (m_json.is_open()) {
        m_json << CProgressLine::JsonOf(progress) << '\n';
        m_json.flush();
    }
    if (bFinal) return;
    const std::string strLine = CProgressLine::LineOf(progress);
    if (m_router.IsTerminal()) {
        m_router.ShowProgress(strLine);
        return;
    }
    if (m_line.PrintsOffTerminal(progress.strPass, progress.strStep, NowSeconds())) m_router.PrintLine(strLine);
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

void CProgressMonitor::ReadPosition(SProgress& progress) {
    if (progress.strPass != "records" && progress.strPass != "records-incr") return;
    progress.strTable = CStepTable::WalkedTable(progress.strStep);
    if (progress.strTable.empty()) return;
    const bool bThird = progress.strPass == "records-incr" && !m_strThirdConnInfo.empty();
    db_layer::CConnect* pConn = ConnectionTo(bThird ? m_strThirdConnInfo : m_strSecondConnInfo);
    if (pConn == nullptr) return;
    if (progress.strTable != m_strRangeTable && ReadKeyRange(*pConn, progress.strTable)) {
        m_strRangeTable = progress.strTable;
    }
    if (progress.strTable != m_strRangeTable || m_nRangeHi < m_nRangeLo) return;
    progress.nTotal = m_nRangeHi - m_nRangeLo + 1;

    std::vector<SStatusRow> vecRows;
    std::string strError;
    if (!CStatusRows::Read(*pConn, m_strModule, vecRows, strError) || vecRows.empty()) return;
    SStatusRow row = vecRows.back();
    for (const SStatusRow& candidate : vecRows) {
        if (candidate.strVersionNo == CStatusRows::kNarrowedVersionNo) row = candidate;
    }
    // rate_progress is the next key the walk starts at while schedule is 0; a
    // later schedule (or a finished row) means the walk is through. The start
    // marker stores 0 until the run's first range is committed, also when the
    // walk resumes far beyond its start: shown as the start, but no position
    // for the rate, which would leap from 0 to where the walk resumed.
    const long long nSchedule = std::atoll(row.strSchedule.c_str());
    const long long nNext = std::atoll(row.strRateProgress.c_str());
    if (row.strStatus == "1" || nSchedule > 0) {
        progress.nDone = progress.nTotal;
    } else if (nNext == 0) {
        progress.nDone = 0;
        return;
    } else {
        progress.nDone = std::max(0LL, std::min(progress.nTotal, nNext - m_nRangeLo));
    }
    const double dNow = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    m_line.Measure(dNow, progress);
}

bool CProgressMonitor::ReadKeyRange(db_layer::CConnect& conn, const std::string& strTable) {
    // The table may be locked by the run or by others: take its read lock only
    // if that needs no waiting, and try again at the next look otherwise. Any
    // other failure (a statement timeout on a huge table) is not tried again.
    m_nRangeHi = m_nRangeLo - 1;
    if (!conn.BeginTransaction()) return true;
    const bool bRead = conn.Execute("LOCK TABLE " + strTable + " IN ACCESS SHARE MODE NOWAIT;") &&
                       conn.Query("SELECT coalesce(min(id), 0)::text AS lo, coalesce(max(id), -1)::text AS hi FROM " +
                                  strTable + ";") &&
                       !conn.IsEOF();
    if (bRead) {
        m_nRangeLo = std::atoll(conn.GetString("lo").c_str());
        m_nRangeHi = std::atoll(conn.GetString("hi").c_str());
    }
    std::string strIgnored;
    const bool bLocked = !bRead && conn.GetLastError(strIgnored) == kLockNotAvailable;
    if (!bRead || !conn.Commit()) conn.Rollback();
    return !bLocked;
}

}  // namespace VisitorUpgradeHost
