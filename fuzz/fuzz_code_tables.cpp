// Code-table builder against a canonical-code reference. Layout: byte 0
// selects the bases (bit 0: distances instead of lengths) and whether the
// first base symbol is the usual one or taken from bytes 4-5 (bit 1); bytes
// 1-2 give n (1..320), byte 3 the root bits wanted (1..9), and from byte 6 on
// one code length (0..15) per byte, missing ones being 0.
//
// Every entry of every table is checked against the code the reference
// assigns to the index bits that lead to it, so a wrong symbol, a wrong
// length, a stray link or an unreachable code is found, not only a crash.
#include <cstring>

#include "core/code_tables.h"
#include "fuzz_common.h"

using ebook::CodeTableEntry;
using ebook::CodeTables;
using ebook::CodeTableStatus;

namespace {

// RFC 1951: length symbols 257..285 and distance symbols 0..29.
const uint16_t kLengthBases[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                   31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t kDistanceBases[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                     33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                     1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

constexpr int kMaxBits = 15;

struct Setup {
  const uint16_t* lengths;
  unsigned n, s;
  const uint16_t* bases;
  const uint8_t* extra;
  unsigned baseCount;
  // Reference: for every 15-bit index, the symbol whose code is a prefix of
  // it (+1, 0 for none).
  uint16_t owner[1 << kMaxBits];
  bool reached[320];
  CodeTableStatus status;
};

void CheckLeaf(Setup& t, const CodeTableEntry& e, unsigned path, int before, int width) {
  const int total = before + e.Bits;
  const unsigned owner = t.owner[path];
  if (owner == 0 || t.lengths[owner - 1] > before + width) {
    // No code ends within these index bits: a free code of an incomplete
    // set (a longer code here would have needed a link).
    FUZZ_CHECK(owner == 0);
    FUZZ_CHECK(e.Op == ebook::kOpInvalid);
    FUZZ_CHECK(t.status == ebook::kCodesIncomplete ||
               (t.status == ebook::kCodesComplete && before == 0));
    return;
  }
  const unsigned v = owner - 1;
  FUZZ_CHECK(static_cast<int>(t.lengths[v]) == total);
  if (v < t.s) {
    FUZZ_CHECK(e.Op == (v == 256 ? ebook::kOpEndOfBlock : ebook::kOpLiteral));
    FUZZ_CHECK(v == 256 || e.Value == v);
  } else if (v - t.s < t.baseCount) {
    FUZZ_CHECK(e.Op == t.extra[v - t.s]);
    FUZZ_CHECK(e.Value == t.bases[v - t.s]);
  } else {
    FUZZ_CHECK(e.Op == ebook::kOpInvalid);
  }
  t.reached[v] = true;
}

// Walks a table of `width` index bits reached after `before` bits that
// spelled `prefix`.
void Walk(Setup& t, const CodeTableEntry* table, int width, int before, unsigned prefix) {
  FUZZ_CHECK(table != nullptr);
  FUZZ_CHECK(width >= 1 && before + width <= kMaxBits);
  for (unsigned i = 0; i < (1u << width); ++i) {
    const CodeTableEntry& e = table[i];
    const unsigned path = prefix | i << before;
    FUZZ_CHECK(e.Bits >= 1 && e.Bits <= width);
    if (e.Op > ebook::kOpLinkBase && e.Op <= ebook::kOpLinkBase + kMaxBits) {
      // A link consumes this table's bits and lies under no code that ends
      // within them.
      FUZZ_CHECK(e.Bits == width);
      const unsigned owner = t.owner[path];
      FUZZ_CHECK(owner == 0 || t.lengths[owner - 1] > before + width);
      Walk(t, e.Next, e.Op - ebook::kOpLinkBase, before + width, path);
    } else {
      FUZZ_CHECK(e.Op <= ebook::kOpMaxExtraBits || e.Op == ebook::kOpEndOfBlock ||
                 e.Op == ebook::kOpLiteral || e.Op == ebook::kOpInvalid);
      CheckLeaf(t, e, path, before, width);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  static Setup t;
  static uint16_t lengths[320];
  const bool distances = (data[0] & 1) != 0;
  const unsigned n = 1 + (data[1] | data[2] << 8) % 320;
  const int lookupBits = 1 + data[3] % 9;
  unsigned s = distances ? 0 : 257;
  if (data[0] & 2) s = (data[4] | data[5] << 8) % (n + 1);
  for (unsigned v = 0; v < n; ++v) {
    lengths[v] = 6 + v < size ? data[6 + v] % 16 : 0;
  }
  t.lengths = lengths;
  t.n = n;
  t.s = s;
  t.bases = distances ? kDistanceBases : kLengthBases;
  t.extra = distances ? kDistanceExtra : kLengthExtra;
  t.baseCount = distances ? 30 : 29;

  // Reference status from the Kraft sum, and the canonical codes.
  unsigned count[kMaxBits + 1] = {};
  for (unsigned v = 0; v < n; ++v) ++count[lengths[v]];
  int left = 1;
  bool overSubscribed = false;
  for (int len = 1; len <= kMaxBits; ++len) {
    left = left * 2 - static_cast<int>(count[len]);
    if (left < 0) {
      overSubscribed = true;
      break;
    }
  }
  const unsigned codes = n - count[0];
  CodeTableStatus expected = ebook::kCodesComplete;
  if (overSubscribed) {
    expected = ebook::kCodesOverSubscribed;
  } else if (left > 0 && codes != 0 && !(codes == 1 && count[1] == 1)) {
    expected = ebook::kCodesIncomplete;
  }

  CodeTables out;
  out.LookupBits = -1;
  CodeTableStatus status =
      ebook::BuildCodeTables(lengths, n, s, t.bases, t.extra, t.baseCount, lookupBits, out);
  FUZZ_CHECK(status == expected);
  t.status = status;
  if (status == ebook::kCodesOverSubscribed || codes == 0) {
    FUZZ_CHECK(out.Root == nullptr);
    FUZZ_CHECK(out.Chain == nullptr);
    return 0;
  }
  FUZZ_CHECK(out.Root != nullptr && out.Chain != nullptr);
  FUZZ_CHECK(out.LookupBits >= 1 && out.LookupBits <= kMaxBits);

  std::memset(t.owner, 0, sizeof t.owner);
  std::memset(t.reached, 0, sizeof t.reached);
  // First code of each length, as RFC 1951 assigns them.
  unsigned nextCode[kMaxBits + 1] = {};
  for (int len = 2; len <= kMaxBits; ++len) {
    nextCode[len] = (nextCode[len - 1] + count[len - 1]) << 1;
  }
  for (unsigned v = 0; v < n; ++v) {
    const int len = lengths[v];
    if (len == 0) continue;
    const unsigned code = nextCode[len]++;
    unsigned reversed = 0;
    for (int b = 0; b < len; ++b) reversed |= ((code >> b) & 1u) << (len - 1 - b);
    for (unsigned high = 0; high < (1u << (kMaxBits - len)); ++high) {
      unsigned index = reversed | high << len;
      FUZZ_CHECK(t.owner[index] == 0);
      t.owner[index] = static_cast<uint16_t>(v + 1);
    }
  }

  Walk(t, out.Root, out.LookupBits, 0, 0);
  for (unsigned v = 0; v < n; ++v) FUZZ_CHECK(lengths[v] == 0 || t.reached[v]);
  ebook::ReleaseCodeTables(out.Chain);
  return 0;
}
