// The platform's printf-style log call: formats the message and hands it to the sink.
#include "Qarn/Base/Log.h"

#include <cstdarg>

#include "FormatV.h"
#include "Qarn/Base/LogSink.h"

namespace Qarn {
namespace Base {
namespace details {

void KVRAFormatLog(int nLevel, const char* szModule, const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    const std::string strMessage = FormatV(szFormat, args);
    va_end(args);
    CLogSink::Write(nLevel, szModule, strMessage);
}

}  // namespace details
}  // namespace Base
}  // namespace Qarn
