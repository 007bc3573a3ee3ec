// printf-style formatting without a length limit, and plain text replacement.
#include "Qarn/Base/StringUtil.h"

#include <cstdarg>
#include <cstdio>

#include "FormatV.h"

namespace Qarn {
namespace Base {

namespace details {

std::string FormatV(const char* szFormat, va_list args)
{
    if (szFormat == nullptr)
        return std::string();
    // Most texts fit a buffer on the stack: one pass. A longer one is measured
    // there and made in a second pass, over a copy of the list (a va_list
    // cannot be walked twice). A first pass into no buffer at all would cost
    // as much as writing the text.
    char szBuffer[1024];
    va_list again;
    va_copy(again, args);
    const int nLength = std::vsnprintf(szBuffer, sizeof szBuffer, szFormat, args);
    if (nLength < 0) {
        va_end(again);
        return std::string("<unformattable: ") + szFormat + ">";
    }
    if (static_cast<size_t>(nLength) < sizeof szBuffer) {
        va_end(again);
        return std::string(szBuffer, static_cast<size_t>(nLength));
    }
    std::string strResult(static_cast<size_t>(nLength) + 1, '\0');
    std::vsnprintf(&strResult[0], strResult.size(), szFormat, again);
    va_end(again);
    strResult.resize(static_cast<size_t>(nLength));
    return strResult;
}

}  // namespace details

namespace StringUtil {

std::string str_fmt(const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    std::string strResult = details::FormatV(szFormat, args);
    va_end(args);
    return strResult;
}

std::string StringReplace(const std::string& strSource, const std::string& strPattern,
                          const std::string& strReplacement)
{
    if (strPattern.empty())
        return strSource;
    std::string strResult;
    strResult.reserve(strSource.size());
    size_t nFrom = 0;
    for (;;) {
        const size_t nAt = strSource.find(strPattern, nFrom);
        if (nAt == std::string::npos)
            break;
        strResult.append(strSource, nFrom, nAt - nFrom);
        strResult += strReplacement;
        nFrom = nAt + strPattern.size();
    }
    strResult.append(strSource, nFrom, std::string::npos);
    return strResult;
}

}  // namespace StringUtil
}  // namespace Base
}  // namespace Qarn
