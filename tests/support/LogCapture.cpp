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

SCaptured& Captured()
{
    static SCaptured captured;
    return captured;
}

// "<date> <time> <LEVEL> <module> <message>": the message follows the fourth blank.
std::string MessageOf(const std::string& strLine)
{
    size_t nPos = 0;
    for (int nBlank = 0; nBlank < 4; ++nBlank) {
        nPos = strLine.find(' ', nPos);
        if (nPos == std::string::npos)
            return std::string();
        ++nPos;
    }
    return strLine.substr(nPos);
}

}  // namespace

CLogCapture::CLogCapture()
{
    Clear();
    Qarn::Base::CLogSink::SetCapture(
        [](int nLevel, const std::string& strLine) {
            SCaptured& captured = Captured();
            std::lock_guard<std::mutex> lock(captured.mutex);
            captured.lines.push_back(SLine{nLevel, strLine, MessageOf(strLine)});
        },
        false);
}

CLogCapture::~CLogCapture()
{
    Qarn::Base::CLogSink::Reset();
}

std::vector<CLogCapture::SLine> CLogCapture::Lines() const
{
    SCaptured& captured = Captured();
    std::lock_guard<std::mutex> lock(captured.mutex);
    return captured.lines;
}

std::vector<std::string> CLogCapture::Messages() const
{
    std::vector<std::string> messages;
    for (const SLine& line : Lines())
        messages.push_back(line.strMessage);
    return messages;
}

std::vector<std::string> CLogCapture::Messages(int nLevel) const
{
    std::vector<std::string> messages;
    for (const SLine& line : Lines()) {
        if (line.nLevel == nLevel)
            messages.push_back(line.strMessage);
    }
    return messages;
}

bool CLogCapture::Contains(const std::string& strPart) const
{
    for (const SLine& line : Lines()) {
        if (line.strLine.find(strPart) != std::string::npos)
            return true;
    }
    return false;
}

void CLogCapture::Clear()
{
    SCaptured& captured = Captured();
    std::lock_guard<std::mutex> lock(captured.mutex);
    captured.lines.clear();
}

}  // namespace vsu_test
