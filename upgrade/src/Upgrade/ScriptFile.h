// Reading delivered SQL scripts: whole, byte for byte, with a ".data" fallback
// of the same base name; paths are relative to the working directory.
#pragma once
#include <string>

namespace UnifiedUpgradeComponent {

// Reads strPath whole into strText (trailing '\n' removed unless the text is
// only '\n'). A missing or empty file falls back to strFallbackPath, or, when
// that is empty, to <folder>/<base name>.data. False when nothing could be read.
bool ReadScriptFile(std::string& strText, const std::string& strPath, const std::string& strFallbackPath);

// Splits at the last '/' or '\\' and the file name at its last '.'; false when
// the path has no separator.
bool SplitFilePath(const std::string& strPath, std::string& strFolder, std::string& strBaseName,
                   std::string& strExtension);

}  // namespace UnifiedUpgradeComponent
