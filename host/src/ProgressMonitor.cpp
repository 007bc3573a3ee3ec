#include "ProgressMonitor.h"

#include <chrono>

#include "HostConnections.h"
#include "StatusRows.h"

namespace VisitorUpgradeHost {

namespace {

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

std::string CProgressMonitor::WalkedTable(const std::string& strStepClass, const std::string& strStatus) {
    // The raw-to-1.0.0 copy is the only migration that sets status 2.
    if (strStepClass == "CRawTo100" || (strStepClass.empty() && strStatus == "2")) return "rt_data.visitor_record";
    if (strStepClass == "C1110ToC1120") return "visitor.visitor_appoint_record";
    return std::string();
}

void CProgressMonitor::Start() { m_thread = std::thread([this] { Loop(); }); }

void CProgressMonitor::BeginPass(const std::string& strPass) {
    m_router.ForgetStepClass();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_strPass = strPass;
    m_nPassStart = NowSeconds();
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

void CProgressMonitor::Loop() {
    const auto interval = std::chrono::milliseconds(m_router.IsTerminal() ? 500 : 1000);
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

db_layer::CConnect* CProgressMonitor::ConnectionFor(const std::string& strPass) {
    // A monitor that cannot connect shows less; it never stops the run.
    std::string strIgnored;
    if (strPass == "records-incr" && !m_strThirdConnInfo.empty()) {
        if (!m_bThirdTried) {
            m_bThirdTried = true;
            m_pThird = CHostConnections::OpenOne(m_strThirdConnInfo, "--db3", strIgnored);
        }
        return m_pThird.get();
    }
    if (!m_bSecondTried) {
        m_bSecondTried = true;
        m_pSecond = CHostConnections::OpenOne(m_strSecondConnInfo, "--db2", strIgnored);
    }
    return m_pSecond.get();
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

    const std::string strClass = m_router.LastStepClass();
    std::string strLine = "visitor-upgrade: " + strPass + " " + std::to_string(NowSeconds() - nStart) + "s";
    strLine += " | step " + (strClass.empty() ? std::string("?") : strClass);

    SStatusRow row;
    db_layer::CConnect* pConn = ConnectionFor(strPass);
    std::vector<SStatusRow> vecRows;
    std::string strError;
    if (pConn != nullptr && CStatusRows::Read(*pConn, m_strModule, vecRows, strError) && !vecRows.empty()) {
        row = vecRows.back();
        for (const SStatusRow& candidate : vecRows) {
            if (candidate.strVersionNo == CStatusRows::kNarrowedVersionNo) row = candidate;
        }
        strLine += " | step_ver " + row.strStepVer + " status " + row.strStatus;
    }

    const bool bRecords = strPass == "records" || strPass == "records-incr";
    const std::string strTable = bRecords ? WalkedTable(strClass, row.strStatus) : std::string();
    if (!strTable.empty() && pConn != nullptr) {
        if (strTable != m_strRangeTable) {
            m_strRangeTable = strTable;
            m_strRange.clear();
            if (pConn->Query("SELECT min(id)::text AS lo, max(id)::text AS hi FROM " + strTable + ";") &&
                !pConn->IsEOF()) {
                m_strRange = pConn->GetString("lo") + ".." + pConn->GetString("hi");
            }
        }
        strLine += " | " + strTable + " rate_progress " + row.strRateProgress;
        if (!m_strRange.empty()) strLine += " of " + m_strRange;
    }

    if (m_router.IsTerminal()) {
        m_router.ShowProgress(strLine);
        return;
    }
    const std::string strAnnounce = strPass + "|" + strClass + "|" + row.strStepVer;
    if (strAnnounce != m_strLastAnnounced) {
        m_strLastAnnounced = strAnnounce;
        m_router.PrintLine(strLine);
    }
}

}  // namespace VisitorUpgradeHost
