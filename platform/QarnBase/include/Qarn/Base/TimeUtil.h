// UTC time-stamp text of an instant, as 'YYYY-MM-DD HH:MM:SS', which PostgreSQL
// accepts as a timestamp literal.
#pragma once
#include <cstdint>
#include <string>

#include "Qarn/Base/QarnBaseApi.h"

namespace Qarn {
namespace Base {
namespace TimeUtil {

QARNBASE_API std::string TimeT2StrUTCTimeStamp(std::int64_t nSeconds);

}  // namespace TimeUtil
}  // namespace Base
}  // namespace Qarn
