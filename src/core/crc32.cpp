// CRC-32, table driven and sliced: the byte table of the ZIP format plus
// fifteen derived tables let the update take sixteen bytes per step with
// independent lookups (the "slicing-by-16" technique), while CrcStep keeps
// the plain one-byte step that the cipher's key schedule needs.
//
// Reference byte step, which every path must agree with:
//   r = table[(r ^ b) & 0xFF] ^ (r >> 8)
#include "crc32.h"

#include "crc32_clmul.h"

namespace ebook {
namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;
// The stub, built for size, keeps the byte table alone: every processor it
// meets today has carry-less multiply, and the sliced loop only serves the
// few that lack it.
#ifdef EBOOK_COMPACT
constexpr int kSlices = 1;
#else
constexpr int kSlices = 16;
#endif

// Slice k maps a byte to its contribution k bytes further on; slice 0 is the
// byte table itself.
uint32_t g_crcTables[kSlices][256];
bool g_useClmul = false;

#ifndef EBOOK_COMPACT
inline uint32_t LoadLittleEndian32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
#endif

}  // namespace

void BuildCrcTable() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t v = i;
    for (int k = 0; k < 8; ++k) v = (v & 1) ? (v >> 1) ^ kPolynomial : v >> 1;
    g_crcTables[0][i] = v;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t v = g_crcTables[0][i];
    for (int k = 1; k < kSlices; ++k) {
      v = g_crcTables[0][v & 0xFF] ^ (v >> 8);
      g_crcTables[k][i] = v;
    }
  }
  g_useClmul = ClmulAvailable();
}

uint32_t CrcStep(uint8_t b, uint32_t r) { return g_crcTables[0][(r ^ b) & 0xFF] ^ (r >> 8); }

void CrcUpdate(const uint8_t* data, int32_t length, uint32_t& running) {
  if (length <= 0) return;
  uint32_t r = running;
  size_t n = static_cast<size_t>(length);
  if (g_useClmul && n >= 64) {
    size_t blocks = n & ~size_t{15};
    r = CrcUpdateClmul(data, blocks, r);
    data += blocks;
    n -= blocks;
  }
  const uint32_t(&t)[kSlices][256] = g_crcTables;
#ifndef EBOOK_COMPACT
  for (; n >= 16; n -= 16, data += 16) {
    uint32_t a = LoadLittleEndian32(data) ^ r;
    uint32_t b = LoadLittleEndian32(data + 4);
    uint32_t c = LoadLittleEndian32(data + 8);
    uint32_t d = LoadLittleEndian32(data + 12);
    r = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
        t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
        t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
        t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
  }
#endif
  for (; n != 0; --n) r = t[0][(r ^ *data++) & 0xFF] ^ (r >> 8);
  running = r;
}

}  // namespace ebook
