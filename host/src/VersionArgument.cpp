#include "VersionArgument.h"

namespace VisitorUpgradeHost {

namespace {

// Reads [nPos, nEnd) as a decimal number of at most 32 bits.
bool ReadPiece(const std::string& strText, size_t nPos, size_t nEnd, std::uint32_t& nValue) {
    if (nPos == nEnd) return false;
    std::uint64_t nNumber = 0;
    for (size_t i = nPos; i < nEnd; ++i) {
        const char c = strText[i];
        if (c < '0' || c > '9') return false;
        nNumber = nNumber * 10 + static_cast<std::uint64_t>(c - '0');
        if (nNumber > UINT32_MAX) return false;
    }
    nValue = static_cast<std::uint32_t>(nNumber);
    return true;
}

}  // namespace

bool CVersionArgument::Parse(const std::string& strText, CVersionArgument& version) {
    if (strText.size() > kMaxLength) return false;
    const size_t nFirstDot = strText.find('.');
    if (nFirstDot == std::string::npos) return false;
    const size_t nSecondDot = strText.find('.', nFirstDot + 1);
    if (nSecondDot == std::string::npos) return false;
    CVersionArgument parsed;
    // A third dot lands inside the last piece, where it is not a digit.
    if (!ReadPiece(strText, 0, nFirstDot, parsed.m_nMajor) ||
        !ReadPiece(strText, nFirstDot + 1, nSecondDot, parsed.m_nMinor) ||
        !ReadPiece(strText, nSecondDot + 1, strText.size(), parsed.m_nPatch)) {
        return false;
    }
    version = parsed;
    return true;
}

}  // namespace VisitorUpgradeHost
