// printf-style formatting and plain text replacement. SQL texts of the system
// are built with these; values are written into the text, never bound.
#pragma once
#include <string>

#include "Qarn/Base/QarnBaseApi.h"

namespace Qarn {
namespace Base {
namespace StringUtil {

// No length limit: the result is measured first, then written.
QARNBASE_API std::string str_fmt(const char* szFormat, ...) QARNBASE_PRINTF(1, 2);

// Every occurrence of strPattern, left to right; inserted text is not searched
// again. An empty pattern returns the source unchanged.
QARNBASE_API std::string StringReplace(const std::string& strSource, const std::string& strPattern,
                                       const std::string& strReplacement);

}  // namespace StringUtil
}  // namespace Base
}  // namespace Qarn
