// The capture keeps lines in one process-wide list: the sink calls it under its
// own mutex, but tests may read from another thread, so the list has a lock too.
#include "LogCapture.h"

#include <mutex>
#include <utility>

#include "Qarn/Base/LogSink.h"

namespace vsu_test {

namespace {

struct SCaptured {
    std::mutex mutex;
    std::vector<std::pair<int, std::string>> lines;  // level, message
};

SCaptured& Captured() {
    static SCaptured captured;
    return captured;
}

// "<date> <time> <LEVEL> <module> <message>": the message follows the fourth blank.
std::string MessageOf(const std::string& strLine) {
    size_t nPos = 0;
    for (int nBlank = 0; nBlank < 4 && nPos != std::string::npos; ++nBlank) {
        nPos = strLine.find(' ', nPos);
        if (nPos != std::string::npos) ++nPos;
    }
    return nPos == std::string::npos ? std::string() : strLine.substr(nPos);
}

}  // namespace

CLogCapture::CLogCapture() {
    {
        std::lock_guard<std::mutex> lock(Captured().mutex);
        Captured().lines.clear();
    }
    Qarn::Base::CLogSink::SetCapture(
        [](int nLevel, const std::string& strLine) {
            std::lock_guard<std::mutex> lock(Captured().mutex);
            Captured().lines.emplace_back(nLevel, MessageOf(strLine));
        },
        false);
}

CLogCapture::~CLogCapture() { Qarn::Base::CLogSink::Reset(); }

std::vector<std::string> CLogCapture::Messages(int nLevel) const {
    std::lock_guard<std::mutex> lock(Captured().mutex);
    std::vector<std::string> messages;
    for (const auto& line : Captured().lines)
        if (nLevel < 0 || line.first == nLevel) messages.push_back(line.second);
    return messages;
}

}  // namespace vsu_test
