// UTC time-stamp text for SQL timestamp literals.
#include "Qarn/Base/TimeUtil.h"

#include <ctime>

namespace Qarn {
namespace Base {
namespace TimeUtil {

std::string TimeT2StrUTCTimeStamp(std::int64_t nSeconds)
{
    const std::time_t tValue = static_cast<std::time_t>(nSeconds);
    std::tm tmUtc{};
    // An instant the C library cannot break down gives an empty text: the
    // statement that carries it then fails visibly instead of storing a made-up time.
    if (static_cast<std::int64_t>(tValue) != nSeconds || gmtime_r(&tValue, &tmUtc) == nullptr)
        return std::string();
    char szBuffer[64];
    const size_t nLength = std::strftime(szBuffer, sizeof(szBuffer), "%Y-%m-%d %H:%M:%S", &tmUtc);
    return std::string(szBuffer, nLength);
}

}  // namespace TimeUtil
}  // namespace Base
}  // namespace Qarn
