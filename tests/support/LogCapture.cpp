// The capture keeps lines in one process-wide list: the sink calls it under its
// own mutex, but tests may read from another thread, so the list has a lock too.
#include "LogCapture.h"

#include <mutex>
#include <utility>

#include "Qarn/Base/LogSink.h"

namespace vsu_test {

namespace {

std::mutex g_mutex;
std::vector<std::pair<int, std::string>> g_lines;  // level, message

}  // namespace

CLogCapture::CLogCapture() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_lines.clear();
    }
    Qarn::Base::CLogSink::SetCapture(
        [](int nLevel, const std::string& strLine) {
            // "<date> <time> <LEVEL> <module> <message>": the message follows the fourth blank.
            size_t nPos = 0;
            for (int nBlank = 0; nBlank < 4 && nPos != std::string::npos; ++nBlank)
                if ((nPos = strLine.find(' ', nPos)) != std::string::npos) ++nPos;
            std::lock_guard<std::mutex> lock(g_mutex);
            g_lines.emplace_back(nLevel, nPos == std::string::npos ? std::string() : strLine.substr(nPos));
        },
        false);
}

CLogCapture::~CLogCapture() { Qarn::Base::CLogSink::Reset(); }

std::vector<std::string> CLogCapture::Messages(int nLevel) const {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<std::string> messages;
    for (const auto& line : g_lines)
        if (nLevel < 0 || line.first == nLevel) messages.push_back(line.second);
    return messages;
}

}  // namespace vsu_test
