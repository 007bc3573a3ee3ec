#include "Upgrade/Version.h"

#include <sstream>
#include <vector>

namespace UnifiedUpgradeComponent {

namespace {

// Stream extraction, as version texts have always been read: leading blanks
// skipped, an optional sign, digits up to the first non-digit. A piece without
// leading digits, or beyond 32 bits, counts as a piece whose number is 0.
std::uint32_t PieceNumber(const std::string& strPiece) {
    std::istringstream stream(strPiece);
    std::uint32_t nValue = 0;
    if (!(stream >> nValue)) return 0;
    return nValue;
}

}  // namespace

CVersion::CVersion(const std::string& strVersion) : m_strVersion(strVersion) {
    std::vector<std::uint32_t> vecNumbers;
    std::string::size_type nStart = 0;
    while (nStart <= strVersion.size()) {
        std::string::size_type nDot = strVersion.find('.', nStart);
        if (nDot == std::string::npos) nDot = strVersion.size();
        if (nDot > nStart) vecNumbers.push_back(PieceNumber(strVersion.substr(nStart, nDot - nStart)));
        nStart = nDot + 1;
    }
    if (vecNumbers.size() == 3) {
        m_nMajor = vecNumbers[0];
        m_nMinor = vecNumbers[1];
        m_nPatch = vecNumbers[2];
    }
}

bool CVersion::operator==(const CVersion& other) const {
    return m_nMajor == other.m_nMajor && m_nMinor == other.m_nMinor && m_nPatch == other.m_nPatch;
}

bool CVersion::IsNotOlderThan(const CVersion& other) const {
    if (m_nMajor != other.m_nMajor) return m_nMajor > other.m_nMajor;
    if (m_nMinor != other.m_nMinor) return m_nMinor > other.m_nMinor;
    return m_nPatch >= other.m_nPatch;
}

}  // namespace UnifiedUpgradeComponent
