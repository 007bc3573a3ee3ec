// A module version: the text as given and three unsigned numbers. A text that
// is not exactly three dot-separated numbers stands for 0.0.0 (text kept as is).
#pragma once
#include <cstdint>
#include <string>

namespace UnifiedUpgradeComponent {

class CVersion {
public:
    CVersion() = default;
    explicit CVersion(const std::string& strVersion);

    std::uint32_t GetMajor() const { return m_nMajor; }
    std::uint32_t GetMinor() const { return m_nMinor; }
    std::uint32_t GetPatch() const { return m_nPatch; }
    std::string GetVersionString() const { return m_strVersion; }

    // Compares the numbers only, never the text.
    bool operator==(const CVersion& other) const;
    bool operator!=(const CVersion& other) const { return !(*this == other); }
    bool IsNotOlderThan(const CVersion& other) const;

private:
    std::string m_strVersion;
    std::uint32_t m_nMajor = 0;
    std::uint32_t m_nMinor = 0;
    std::uint32_t m_nPatch = 0;
};

}  // namespace UnifiedUpgradeComponent
