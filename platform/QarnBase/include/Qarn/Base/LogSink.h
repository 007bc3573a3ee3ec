// Where log lines go: stderr by default, or a file a host names; lines below the
// minimum level are dropped; a capture callback (tests, hosts) sees every kept
// line. Process-wide and thread-safe. The sink masks password '...' values.
#pragma once
#include <functional>
#include <string>

#include "Qarn/Base/QarnBaseApi.h"

namespace Qarn {
namespace Base {

class QARNBASE_API CLogSink {
public:
    // Receives the level and the complete line, without its trailing newline.
    using Capture = std::function<void(int nLevel, const std::string& strLine)>;

    // Appends to strPath from now on; false (and stderr kept) when it cannot be opened.
    static bool SetFile(const std::string& strPath);
    static void SetStderr();
    static void SetMinLevel(int nLevel);
    // Replaces the capture; an empty function removes it. With a capture set,
    // lines still go to the file or stderr unless bEcho is false.
    static void SetCapture(Capture fnCapture, bool bEcho = false);
    // Stderr, minimum level 0, no capture.
    static void Reset();

    // Formats and writes one line; used by KVRAFormatLog.
    static void Write(int nLevel, const char* szModule, const std::string& strMessage);
    // "password 'secret'" becomes "password '***'"; doubled quotes inside count as part of the value.
    static std::string MaskSecrets(const std::string& strLine);
    static const char* LevelName(int nLevel);
};

}  // namespace Base
}  // namespace Qarn
