// The capture keeps lines in one process-wide list: the sink calls it under its
// own mutex, but tests may read from another thread, so the list has a lock too.
#include "LogCapture.h"

#include <mutex>

#include "Qarn/Base/LogSink.h"

namespace vsu_test {

namespace {

struct SCaptured {
    std::mutex mutex;
    std::vector<CLogCapture::SLine> lines;
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
    Clear();
    Qarn::Base::CLogSink::SetCapture(
        [](int nLevel, const std::string& strLine) {
            std::lock_guard<std::mutex> lock(Captured().mutex);
            Captured().lines.push_back(SLine{nLevel, strLine, MessageOf(strLine)});
        },
        false);
}

CLogCapture::~CLogCapture() { Qarn::Base::CLogSink::Reset(); }

std::vector<CLogCapture::SLine> CLogCapture::Lines() const {
    std::lock_guard<std::mutex> lock(Captured().mutex);
    return Captured().lines;
}

std::vector<std::string> CLogCapture::Messages(int nLevel) const {
    std::vector<std::string> messages;
    for (const SLine& line : Lines())
        if (nLevel < 0 || line.nLevel == nLevel) messages.push_back(line.strMessage);
    return messages;
}

bool CLogCapture::Contains(const std::string& strPart) const {
    for (const SLine& line : Lines())
        if (line.strLine.find(strPart) != std::string::npos) return true;
    return false;
}

void CLogCapture::Clear() {
    std::lock_guard<std::mutex> lock(Captured().mutex);
    Captured().lines.clear();
}

}  // namespace vsu_test
