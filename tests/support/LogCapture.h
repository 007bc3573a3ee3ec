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

    // The messages (after "<time> <LEVEL> visitor ") of that level (every level when negative), in order.
    std::vector<std::string> Messages(int nLevel = -1) const;
};

}  // namespace vsu_test
