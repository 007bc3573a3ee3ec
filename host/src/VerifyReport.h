// What `visitor-upgrade verify` found, and its two forms: lines for a person
// (one per check, then its first offending keys) and one JSON document for
// tools. Owns the results it is given; prints to the stream it is handed.
#pragma once
#include <ostream>
#include <string>
#include <vector>

namespace VisitorUpgradeHost {

enum class EVerifyOutcome { kPass, kFail, kSkip, kError };

struct SVerifyResult {
    std::string strName;
    std::string strDatabase;  // "db1" or "db3"
    std::string strWhat;
    EVerifyOutcome eOutcome = EVerifyOutcome::kError;
    std::string strChecked;    // counts as the server gave them (decimal text)
    std::string strOffending;
    std::vector<std::string> vecKeys;  // the first offending keys
    std::string strReason;             // why skipped, or the error of a check that could not run
};

class CVerifyReport {
public:
    void Add(SVerifyResult result) { m_vecResults.push_back(std::move(result)); }

    // True when no check failed or could not run (skipped ones do not count).
    bool AllHold() const;

    void PrintText(std::ostream& out) const;
    void PrintJson(std::ostream& out) const;

private:
    std::vector<SVerifyResult> m_vecResults;
};

}  // namespace VisitorUpgradeHost
