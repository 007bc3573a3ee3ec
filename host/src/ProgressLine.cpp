#include "ProgressLine.h"

#include <algorithm>
#include <cmath>

#include "JsonText.h"

namespace VisitorUpgradeHost {

namespace {

// What the walked tables hold, for the line.
const char* NounOf(const std::string& strTable) {
    if (strTable == "rt_data.visitor_record") return "visit records";
    if (strTable == "visitor.visitor_appoint_record") return "appointments";
    return nullptr;
}

// Seconds left at the measured rate; -1 when it cannot be told.
long long EtaSeconds(const SProgress& progress) {
    if (progress.nDone < 0 || progress.nTotal < 0) return -1;
    if (progress.nDone >= progress.nTotal) return 0;
    if (progress.dRate <= 0) return -1;
    return static_cast<long long>(std::ceil((progress.nTotal - progress.nDone) / progress.dRate));
}

}  // namespace

std::string CProgressLine::Grouped(long long n) {
    std::string strDigits = std::to_string(n < 0 ? -n : n);
    for (int i = static_cast<int>(strDigits.size()) - 3; i > 0; i -= 3) strDigits.insert(static_cast<size_t>(i), ",");
    return (n < 0 ? "-" : "") + strDigits;
}

std::string CProgressLine::DurationText(long long nSeconds) {
    if (nSeconds < 60) return std::to_string(nSeconds) + " s";
    if (nSeconds < 3600) return std::to_string(nSeconds / 60) + " min " + std::to_string(nSeconds % 60) + " s";
    return std::to_string(nSeconds / 3600) + " h " + std::to_string(nSeconds % 3600 / 60) + " min";
}

std::string CProgressLine::LineOf(const SProgress& progress) {
    std::string strLine = "visitor-upgrade: " + progress.strPass + " " + std::to_string(progress.nElapsed) + "s";
    if (!progress.strStep.empty()) {
        strLine += " | " + progress.strStep;
        if (!progress.strTable.empty()) {
            const char* szNoun = NounOf(progress.strTable);
            strLine += " " + (szNoun != nullptr ? std::string(szNoun) : progress.strTable);
        }
    }
    if (progress.nTotal < 0 || progress.nDone < 0) return strLine;
    // Rounded down: 100% only when the walk is through.
    const long long nPercent = progress.nTotal == 0 ? 100 : progress.nDone * 100 / progress.nTotal;
    strLine +=
        " | " + std::to_string(nPercent) + "% " + Grouped(progress.nDone) + " of " + Grouped(progress.nTotal) + " ids";
    if (progress.dRate >= 0) strLine += " | " + Grouped(std::llround(progress.dRate)) + "/s";
    const long long nEta = EtaSeconds(progress);
    if (nEta >= 0) strLine += " | " + DurationText(nEta) + " left";
    return strLine;
}

std::string CProgressLine::JsonOf(const SProgress& progress) {
    const auto number = [](long long n) { return n < 0 ? std::string("null") : std::to_string(n); };
    const long long nEta = EtaSeconds(progress);
    return "{\"pass\":" + CJsonText::Quoted(progress.strPass) +
           ",\"step\":" + (progress.strStep.empty() ? "null" : CJsonText::Quoted(progress.strStep)) +
           ",\"table\":" + (progress.strTable.empty() ? "null" : CJsonText::Quoted(progress.strTable)) +
           ",\"done\":" + number(progress.nDone) + ",\"total\":" + number(progress.nTotal) +
           ",\"rate\":" + (progress.dRate < 0 ? "null" : number(std::llround(progress.dRate))) +
           ",\"eta_s\":" + number(nEta) + ",\"elapsed_s\":" + std::to_string(progress.nElapsed) +
           ",\"status\":" + CJsonText::Quoted(progress.strStatus) + "}";
}

void CProgressLine::ClearRate() { m_dequeSamples.clear(); }

void CProgressLine::Measure(double dNow, SProgress& progress) {
    const std::string strWalk = progress.strStep + "|" + progress.strTable;
    if (strWalk != m_strWalk) {
        m_dequeSamples.clear();
        m_strWalk = strWalk;
    }
    if (!m_dequeSamples.empty()) progress.nDone = std::max(progress.nDone, m_dequeSamples.back().second);
    m_dequeSamples.emplace_back(dNow, progress.nDone);
    while (m_dequeSamples.size() > 2 && dNow - m_dequeSamples.front().first > kRateWindowSeconds) {
        m_dequeSamples.pop_front();
    }
    const double dSpan = dNow - m_dequeSamples.front().first;
    progress.dRate = dSpan >= 1.0 ? (progress.nDone - m_dequeSamples.front().second) / dSpan : -1;
}

bool CProgressLine::PrintsOffTerminal(const std::string& strPass, const std::string& strStep, long long nNow) {
    const std::string strWhat = strPass + "|" + strStep;
    if (strWhat == m_strLastPrinted && nNow - m_nLastPrinted < kQuietSeconds) return false;
    m_strLastPrinted = strWhat;
    m_nLastPrinted = nNow;
    return true;
}

}  // namespace VisitorUpgradeHost
