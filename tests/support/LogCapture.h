// Captures the log lines written while it lives (through the QarnBase sink), so
// tests can check texts and levels. Restores the sink's default on destruction.
#pragma once
#include <string>
#include <vector>

namespace vsu_test {

class CLogCapture {
public:
    CLogCapture();
    ~CLogCapture();
    CLogCapture(const CLogCapture&) = delete;
    CLogCapture& operator=(const CLogCapture&) = delete;

    struct SLine {
        int nLevel;
        std::string strLine;     // the whole line as the sink wrote it
        std::string strMessage;  // the message after "<time> <LEVEL> visitor "
    };
    std::vector<SLine> Lines() const;
    // Messages of that level (every level when negative), in order.
    std::vector<std::string> Messages(int nLevel = -1) const;
    bool Contains(const std::string& strPart) const;
    void Clear();
};

}  // namespace vsu_test
