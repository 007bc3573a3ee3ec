// The pure part of the progress display: what one look of the monitor becomes
// as a line and as a JSON object, the rate over the last seconds, and when a
// line is printed off a terminal. Times come from the caller, so the rules hold
// without a clock. Not thread-safe: the monitor's polling thread owns one.
#pragma once
#include <deque>
#include <string>
#include <utility>

namespace VisitorUpgradeHost {

// What one look found.
struct SProgress {
    std::string strPass;
    std::string strStep;   // "" when no step is known
    std::string strTable;  // "" when the step walks none
    long long nElapsed = 0;
    long long nDone = -1;   // -1: unknown
    long long nTotal = -1;  // -1: key range not read
    double dRate = -1;      // ids per second; -1: not yet measurable
    std::string strStatus;  // "running", "finished", "failed"
};

class CProgressLine {
public:
    // The rate is measured over the looks of this many seconds, and only after one second of them.
    static constexpr double kRateWindowSeconds = 10.0;
    // Off a terminal, a line at least this far apart unless the pass or step changes.
    static constexpr long long kQuietSeconds = 10;

    // "visitor-upgrade: records 12s | CRawTo100 visit records | 41% 4,100,205 of 10,000,000 ids | 15,230/s | 6 min 27 s
    // left"
    static std::string LineOf(const SProgress& progress);
    static std::string JsonOf(const SProgress& progress);
    // 4100205 -> "4,100,205"
    static std::string Grouped(long long n);
    // 387 -> "6 min 27 s"; 7300 -> "2 h 1 min"
    static std::string DurationText(long long nSeconds);

    // Forgets the looks taken so far: a new pass begins.
    void ClearRate();
    // Takes in a look at dNow seconds whose nDone (of the step's table) was
    // just read, and sets its rate: the ids per second over the looks of the
    // last kRateWindowSeconds at that walk, -1 before they span one second. A
    // walk does not go back: a look that read less than the one before (a
    // status row written anew) keeps the higher done.
    void Measure(double dNow, SProgress& progress);
    // Off a terminal: whether the line of a look at nNow seconds is printed.
    bool PrintsOffTerminal(const std::string& strPass, const std::string& strStep, long long nNow);

private:
    // (seconds, ids done) of the latest looks at the walk m_strWalk (step and table).
    std::deque<std::pair<double, long long>> m_dequeSamples;
    std::string m_strWalk;
    std::string m_strLastPrinted;  // pass and step of the last printed line; "" before the first
    long long m_nLastPrinted = 0;
};

}  // namespace VisitorUpgradeHost
