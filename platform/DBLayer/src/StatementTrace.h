// Opt-in trace of what every connection of this process sends: with
// VSU_STATEMENT_TRACE=FILE each call appends one line "<label> <kind> <text>" to
// FILE (label: the database name and the connection's open order, "visitor#2").
// Process-wide and thread-safe; off (and free) when the variable is unset.
#pragma once
#include <string>

namespace db_layer {

class CStatementTrace {
public:
    static bool IsOn();
    // A label for a connection just opened to strDatabase; also traced as "open main thread" or
    // "open other thread", by the thread that opened it.
    static std::string LabelFor(const std::string& strDatabase);
    // Newlines and backslashes of strText are escaped, so each call stays one line.
    static void Write(const std::string& strLabel, const char* szKind, const std::string& strText);
};

}  // namespace db_layer
