#include "Upgrade/Sha256.h"

namespace UnifiedUpgradeComponent {

namespace {

const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t Rotr(uint32_t nValue, int nBits) { return (nValue >> nBits) | (nValue << (32 - nBits)); }

}  // namespace

void CSha256::Compress(uint32_t (&aState)[8], const unsigned char* pBlock) {
    uint32_t aWords[64];
    for (int i = 0; i < 16; ++i) {
        aWords[i] = static_cast<uint32_t>(pBlock[4 * i]) << 24 | static_cast<uint32_t>(pBlock[4 * i + 1]) << 16 |
                    static_cast<uint32_t>(pBlock[4 * i + 2]) << 8 | static_cast<uint32_t>(pBlock[4 * i + 3]);
    }
    for (int i = 16; i < 64; ++i) {
        const uint32_t nS0 = Rotr(aWords[i - 15], 7) ^ Rotr(aWords[i - 15], 18) ^ (aWords[i - 15] >> 3);
        const uint32_t nS1 = Rotr(aWords[i - 2], 17) ^ Rotr(aWords[i - 2], 19) ^ (aWords[i - 2] >> 10);
        aWords[i] = aWords[i - 16] + nS0 + aWords[i - 7] + nS1;
    }
    uint32_t a = aState[0], b = aState[1], c = aState[2], d = aState[3];
    uint32_t e = aState[4], f = aState[5], g = aState[6], h = aState[7];
    for (int i = 0; i < 64; ++i) {
        const uint32_t nT1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                             kRoundConstants[i] + aWords[i];
        const uint32_t nT2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + nT1;
        d = c;
        c = b;
        b = a;
        a = nT1 + nT2;
    }
    aState[0] += a;
    aState[1] += b;
    aState[2] += c;
    aState[3] += d;
    aState[4] += e;
    aState[5] += f;
    aState[6] += g;
    aState[7] += h;
}

std::string CSha256::HexDigest(const std::string& strBytes) {
    uint32_t aState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const auto* pBytes = reinterpret_cast<const unsigned char*>(strBytes.data());
    const size_t nLength = strBytes.size();
    size_t nOffset = 0;
    for (; nLength - nOffset >= 64; nOffset += 64) Compress(aState, pBytes + nOffset);

    // The tail, the 0x80 byte and the bit length fill one block or two.
    unsigned char aTail[128] = {};
    const size_t nRest = nLength - nOffset;
    for (size_t i = 0; i < nRest; ++i) aTail[i] = pBytes[nOffset + i];
    aTail[nRest] = 0x80;
    const size_t nTailSize = nRest < 56 ? 64 : 128;
    const uint64_t nBits = static_cast<uint64_t>(nLength) * 8;
    for (int i = 0; i < 8; ++i) aTail[nTailSize - 1 - i] = static_cast<unsigned char>(nBits >> (8 * i));
    for (size_t i = 0; i < nTailSize; i += 64) Compress(aState, aTail + i);

    static const char kHex[] = "0123456789abcdef";
    std::string strHex;
    strHex.reserve(64);
    for (uint32_t nWord : aState) {
        for (int nShift = 28; nShift >= 0; nShift -= 4) strHex += kHex[(nWord >> nShift) & 0xf];
    }
    return strHex;
}

}  // namespace UnifiedUpgradeComponent
