// Where the plug-in's log lines and the host's live progress line meet. The
// router receives every line of the shared log sink (QarnBase capture), writes
// those at or above the chosen level to the log file or to stderr below the
// progress line, and remembers the last step class named in a line and the
// latest failure lines (which carry the failed statement). One per
// process; thread-safe (the plug-in logs on the main thread, the monitor draws
// from its own).
#pragma once
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace VisitorUpgradeHost {

class CLogRouter {
public:
    // A failure logs the wrapper's line (with the statement), the step's and the manager's.
    static constexpr size_t kRecentFailures = 4;

    CLogRouter(bool bStderrIsTerminal, int nMinLevel);
    ~CLogRouter();
    CLogRouter(const CLogRouter&) = delete;
    CLogRouter& operator=(const CLogRouter&) = delete;

    // Sends the log to strPath (appending) instead of stderr.
    bool OpenFile(const std::string& strPath, std::string& strError);
    // Installs the router as the sink's capture; Detach restores the sink.
    void Attach();
    void Detach();

    void OnLine(int nLevel, const std::string& strLine);

    // On a terminal: replaces the live line. Elsewhere the caller prints at most
    // one line per step change through PrintLine.
    void ShowProgress(const std::string& strText);
    void ClearProgress();
    void PrintLine(const std::string& strText);

    bool IsTerminal() const { return m_bTerminal; }
    // The step class (e.g. "C1110ToC1120") of the latest log line naming one; empty if none yet.
    std::string LastStepClass() const;
    // The latest lines at level 4 or above (at most kRecentFailures), oldest first.
    std::vector<std::string> RecentFailureLines() const;
    // Forgets the step class and the failure lines: a new pass begins.
    void ForgetPass();

    // The class part of "UnifiedUpgradeComponent::<Class>::..." for step classes, else "".
    static std::string StepClassOf(const std::string& strLine);

private:
    void EraseLocked();
    void DrawLocked();

    const bool m_bTerminal;
    const int m_nMinLevel;
    mutable std::mutex m_mutex;
    std::ofstream m_file;
    bool m_bToFile = false;
    std::string m_strProgress;
    std::string m_strStepClass;
    std::deque<std::string> m_dequeFailures;
};

}  // namespace VisitorUpgradeHost
