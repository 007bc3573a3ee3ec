// Private to QarnBase: the one va_list formatter behind str_fmt and the log call.
#pragma once
#include <cstdarg>
#include <string>

namespace Qarn {
namespace Base {
namespace details {

// Measures with a copy of the list, then writes; no length limit. A format the
// C library rejects gives a marker text instead of a silently empty line.
std::string FormatV(const char* szFormat, va_list args);

}  // namespace details
}  // namespace Base
}  // namespace Qarn
