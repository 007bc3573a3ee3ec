#include "LogRouter.h"

#include <cstdio>

#include "Qarn/Base/LogSink.h"

namespace VisitorUpgradeHost {

namespace {

constexpr const char* kQualifier = "UnifiedUpgradeComponent::";

bool IsStepClass(const std::string& strName) {
    // Step classes are C<digits or Raw>To<digits>: CRawTo100, C1110ToC1120, C110ToC111.
    const size_t nTo = strName.find("To");
    return strName.size() > 4 && strName[0] == 'C' && nTo != std::string::npos && nTo > 1 &&
           nTo + 2 < strName.size() && strName.compare(0, 8, "CUpgrade") != 0 &&
           strName.compare(0, 4, "CDBA") != 0;
}

}  // namespace

CLogRouter::CLogRouter(bool bStderrIsTerminal, int nMinLevel)
    : m_bTerminal(bStderrIsTerminal), m_nMinLevel(nMinLevel) {}

CLogRouter::~CLogRouter() { Detach(); }

bool CLogRouter::OpenFile(const std::string& strPath, std::string& strError) {
    m_file.open(strPath, std::ios::out | std::ios::app);
    if (!m_file) {
        strError = "cannot open log file " + strPath;
        return false;
    }
    m_bToFile = true;
    return true;
}

void CLogRouter::Attach() {
    // Every line reaches the router; the level filter is applied here, so the
    // step names of info lines are seen even when only errors are written.
    Qarn::Base::CLogSink::SetMinLevel(0);
    Qarn::Base::CLogSink::SetCapture([this](int nLevel, const std::string& strLine) { OnLine(nLevel, strLine); },
                                     false);
}

void CLogRouter::Detach() { Qarn::Base::CLogSink::SetCapture(nullptr); }

std::string CLogRouter::StepClassOf(const std::string& strLine) {
    size_t nPos = 0;
    while ((nPos = strLine.find(kQualifier, nPos)) != std::string::npos) {
        nPos += std::char_traits<char>::length(kQualifier);
        const size_t nEnd = strLine.find("::", nPos);
        if (nEnd == std::string::npos) break;
        const std::string strName = strLine.substr(nPos, nEnd - nPos);
        if (IsStepClass(strName)) return strName;
    }
    return std::string();
}

void CLogRouter::OnLine(int nLevel, const std::string& strLine) {
    const std::string strClass = StepClassOf(strLine);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!strClass.empty()) m_strStepClass = strClass;
    if (nLevel >= 4) {
        m_dequeFailures.push_back(strLine);
        if (m_dequeFailures.size() > kRecentFailures) m_dequeFailures.pop_front();
    }
    if (nLevel < m_nMinLevel) return;
    if (m_bToFile) {
        m_file << strLine << '\n';
        m_file.flush();
        return;
    }
    EraseLocked();
    std::fprintf(stderr, "%s\n", strLine.c_str());
    DrawLocked();
}

void CLogRouter::ShowProgress(const std::string& strText) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bTerminal) return;
    EraseLocked();
    m_strProgress = strText;
    DrawLocked();
}

void CLogRouter::ClearProgress() {
    std::lock_guard<std::mutex> lock(m_mutex);
    EraseLocked();
    m_strProgress.clear();
}

void CLogRouter::PrintLine(const std::string& strText) {
    std::lock_guard<std::mutex> lock(m_mutex);
    EraseLocked();
    std::fprintf(stderr, "%s\n", strText.c_str());
    DrawLocked();
}

std::string CLogRouter::LastStepClass() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_strStepClass;
}

std::vector<std::string> CLogRouter::RecentFailureLines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::vector<std::string>(m_dequeFailures.begin(), m_dequeFailures.end());
}

void CLogRouter::ForgetPass() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_strStepClass.clear();
    m_dequeFailures.clear();
}

void CLogRouter::EraseLocked() {
    if (m_bTerminal && !m_strProgress.empty()) {
        std::fputs("\r\033[K", stderr);
    }
}

void CLogRouter::DrawLocked() {
    if (m_bTerminal && !m_strProgress.empty()) {
        std::fputs(m_strProgress.c_str(), stderr);
        std::fflush(stderr);
    }
}

}  // namespace VisitorUpgradeHost
