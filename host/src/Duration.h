// The --lock-timeout argument: a whole positive number with one of the units of
// PostgreSQL's time settings (ms, s, min, h, d), such as 500ms, 3s or 2min,
// read into milliseconds up to the largest lock_timeout the server takes.
// Stateless.
#pragma once
#include <string>

namespace VisitorUpgradeHost {

class CDuration {
public:
    static constexpr const char* kExpectedForm =
        "a whole number with a unit: ms, s, min, h or d, such as 500ms, 3s or 2min (at most 24 days)";
    static constexpr long long kMaxMilliseconds = 2147483647;

    // False for anything else, for zero and beyond kMaxMilliseconds.
    static bool ParseMilliseconds(const std::string& strText, long long& nMilliseconds);
};

}  // namespace VisitorUpgradeHost
