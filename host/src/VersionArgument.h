// The --from argument, checked before anything is sent: exactly three
// dot-separated decimal numbers, each within the plug-in's unsigned 32-bit
// version pieces, at most 32 characters (the width of the status table's
// step_ver, where the host stores it). Value type; compared by its numbers,
// as the plug-in compares versions ("01.003.0" is 1.3.0).
#pragma once
#include <cstdint>
#include <string>

namespace VisitorUpgradeHost {

class CVersionArgument {
public:
    static constexpr const char* kExpectedForm =
        "three dot-separated decimal numbers such as 1.15.0 (each at most 4294967295, 32 characters in all)";
    static constexpr size_t kMaxLength = 32;

    // False for anything else: no piece may be empty, signed, blank or beyond 32 bits.
    static bool Parse(const std::string& strText, CVersionArgument& version);

    bool operator==(const CVersionArgument& other) const {
        return m_nMajor == other.m_nMajor && m_nMinor == other.m_nMinor && m_nPatch == other.m_nPatch;
    }
    std::uint32_t Major() const { return m_nMajor; }
    std::uint32_t Minor() const { return m_nMinor; }
    std::uint32_t Patch() const { return m_nPatch; }

private:
    std::uint32_t m_nMajor = 0;
    std::uint32_t m_nMinor = 0;
    std::uint32_t m_nPatch = 0;
};

}  // namespace VisitorUpgradeHost
