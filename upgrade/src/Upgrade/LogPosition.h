// The one way the plug-in logs: every line ends with "[file(line)]" of the
// logging statement, the file relative to the repository root.
#pragma once
#include "Qarn/Base/Log.h"

#ifndef VSU_SOURCE_ROOT_LENGTH
#define VSU_SOURCE_ROOT_LENGTH 0
#endif

namespace UnifiedUpgradeComponent {

enum ELogLevel { LOG_INFO = 3, LOG_WARN = 4, LOG_ERROR = 5 };

// Strips the build's source root from __FILE__ (kept whole if it is shorter).
constexpr const char* RelativeSourcePath(const char* szFile, unsigned nRootLength) {
    for (unsigned i = 0; i < nRootLength; ++i)
        if (szFile[i] == '\0') return szFile;
    return szFile + nRootLength;
}

}  // namespace UnifiedUpgradeComponent

// UPG_LOG(level, "[%s]... text ...[%s(%d)]", name, values...): the position
// values are appended here, so every call site passes only its own.
#define UPG_LOG(nLevel, szFormat, ...)                                                     \
    ::Qarn::Base::details::KVRAFormatLog(                                                  \
        (nLevel), "visitor", szFormat, __VA_ARGS__,                                        \
        ::UnifiedUpgradeComponent::RelativeSourcePath(__FILE__, VSU_SOURCE_ROOT_LENGTH), __LINE__)
