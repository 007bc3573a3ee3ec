// The platform's logging call. One call writes one line: UTC time stamp, level
// name, module and the formatted message, through the process-wide CLogSink.
#pragma once
#include "Qarn/Base/QarnBaseApi.h"

namespace Qarn {
namespace Base {
namespace details {

// nLevel: 3 progress (INFO), 4 a failure seen (WARN), 5 a failed operation (ERROR).
QARNBASE_API void KVRAFormatLog(int nLevel, const char* szModule, const char* szFormat, ...)
    QARNBASE_PRINTF(3, 4);

}  // namespace details
}  // namespace Base
}  // namespace Qarn
