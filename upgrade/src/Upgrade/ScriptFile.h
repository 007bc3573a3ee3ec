// Reading delivered SQL scripts: whole, byte for byte, with a ".data" fallback
// of the same base name; paths are relative to the working directory.
#pragma once
#include <string>

namespace UnifiedUpgradeComponent {

// Reads strPath whole into strText (trailing '\n' removed unless the text is
// only '\n'). A missing or empty file falls back to strFallbackPath, or, when
// that is empty, to <folder>/<base name>.data. False when nothing could be read.
bool ReadScriptFile(std::string& strText, const std::string& strPath, const std::string& strFallbackPath);

// Which file a read took, for the script's run history: the path read (the
// script or its fallback; strPath when nothing could be read) and the SHA-256
// of its bytes as stored, trailing newlines included (of no bytes when none).
struct SScriptOrigin {
    std::string strPath;
    std::string strSha256;
};

// ReadScriptFile that also tells where the text came from.
bool ReadScriptFile(std::string& strText, const std::string& strPath, const std::string& strFallbackPath,
                    SScriptOrigin& origin);

// Splits at the last '/' or '\\' and the file name at its last '.'; false when
// the path has no separator.
bool SplitFilePath(const std::string& strPath, std::string& strFolder, std::string& strBaseName,
                   std::string& strExtension);

}  // namespace UnifiedUpgradeComponent
