// Helpers of the approval migration's unit tests: time stamps and source
// positions taken out of texts and log lines, so tests compare the rest exactly,
// and the texts of the step's marks.
#pragma once
#include <regex>
#include <string>
#include <vector>

#include "FakeConnect.h"
#include "LogCapture.h"

namespace approval_test {

// Every quoted 'YYYY-MM-DD HH:MM:SS' becomes '<now>'.
inline std::string WithoutNow(const std::string& strText) {
    static const std::regex kStamp("'\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}'");
    return std::regex_replace(strText, kStamp, "'<now>'");
}

// The fake's calls with time stamps replaced.
inline std::vector<std::string> Calls(const vsu_test::CFakeConnect& conn) {
    std::vector<std::string> vecOut;
    for (const std::string& strCall : conn.calls) vecOut.push_back(WithoutNow(strCall));
    return vecOut;
}

// The mark table's statements, as the step sends them on a database it marks.
const std::string kCreateMarks =
    "CREATE TABLE IF NOT EXISTS visitor.module_upgrade_marker(step_ver varchar(16) NOT NULL, pass_part varchar(64) "
    "NOT NULL, done_time timestamp NOT NULL, PRIMARY KEY (step_ver, pass_part));";
const std::string kSelectMarks = "SELECT pass_part FROM visitor.module_upgrade_marker WHERE step_ver = '1.12.0';";
inline std::string Mark(const std::string& strPart) {
    return "INSERT INTO visitor.module_upgrade_marker(step_ver, pass_part, done_time) VALUES ('1.12.0', '" + strPart +
           "', clock_timestamp());";
}

// Messages of one level without their trailing "[file(line)]".
inline std::vector<std::string> Lines(const vsu_test::CLogCapture& capture, int nLevel) {
    static const std::regex kPosition("\\[[^\\[\\]]*\\(\\d+\\)\\]$");
    std::vector<std::string> vecOut;
    for (const std::string& strMessage : capture.Messages(nLevel))
        vecOut.push_back(WithoutNow(std::regex_replace(strMessage, kPosition, "")));
    return vecOut;
}

}  // namespace approval_test
