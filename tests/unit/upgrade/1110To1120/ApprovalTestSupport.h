// Helpers of the approval migration's unit tests: time stamps and source
// positions taken out of texts and log lines, so tests compare the rest exactly.
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

// Messages of one level without their trailing "[file(line)]".
inline std::vector<std::string> Lines(const vsu_test::CLogCapture& capture, int nLevel) {
    static const std::regex kPosition("\\[[^\\[\\]]*\\(\\d+\\)\\]$");
    std::vector<std::string> vecOut;
    for (const std::string& strMessage : capture.Messages(nLevel))
        vecOut.push_back(WithoutNow(std::regex_replace(strMessage, kPosition, "")));
    return vecOut;
}

}  // namespace approval_test
