// SHA-256 (FIPS 180-4) of a byte string, as 64 lower-case hex digits: the
// checksum of delivered scripts in their run history. Standard library only,
// so that the host compiles this same source to compare against that history.
#pragma once
#include <cstdint>
#include <string>

namespace UnifiedUpgradeComponent {

class CSha256 {
public:
    // The digest of strBytes, taken as raw bytes (no character-set conversion).
    static std::string HexDigest(const std::string& strBytes);

private:
    // Folds one 64-byte block into the eight state words.
    static void Compress(uint32_t (&aState)[8], const unsigned char* pBlock);
};

}  // namespace UnifiedUpgradeComponent
