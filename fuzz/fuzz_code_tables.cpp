// Code-table builder against a canonical-code reference. Layout: byte 0
// selects the bases (bit 0: distances instead of lengths) and whether the
// first base symbol is the usual one or taken from bytes 4-5 (bit 1); bytes
// 1-2 give n (1..320), byte 3 the root bits (1..11), and from byte 6 on one
// code length (0..15) per byte, missing ones being 0.
//
// Every entry of every table is checked against the code the reference
// assigns to the index bits that lead to it, extra bits resolved in the
// entry included, so a wrong symbol, a wrong length, a stray link or an
// unreachable code is found, not only a crash. The array runs on past
// CodeTableCapacity by a guard the builder must leave alone.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/code_tables.h"
#include "fuzz_common.h"

using ebook::CodeTableEntry;
using ebook::CodeTableStatus;
using ebook::EntryBits;
using ebook::EntryOp;
using ebook::EntryValue;

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
// Every entry the builder writes takes at least one bit, so a zero entry is
// one it did not write.
constexpr CodeTableEntry kUnwritten = 0;
constexpr unsigned kGuard = 1024;

struct Setup {
  const uint16_t* lengths;
  unsigned n, s;
  const uint16_t* bases;
  const uint8_t* extra;
  unsigned baseCount;
  int rootBits;
  int longest;
  const CodeTableEntry* table;
  unsigned capacity;
  // Reference: for every 15-bit index, the symbol whose code is a prefix of
  // it (+1, 0 for none).
  uint16_t owner[1 << kMaxBits];
  bool reached[320];
  CodeTableStatus status;
};

void CheckLeaf(Setup& t, CodeTableEntry e, unsigned path, int before, int width) {
  const unsigned owner = t.owner[path];
  if (owner == 0 || t.lengths[owner - 1] > before + width) {
    // No code ends within these index bits: a free code of an incomplete
    // set, or of a single one-bit code or no code at all in the root (a
    // longer code here would have needed a link).
    FUZZ_CHECK(owner == 0);
    FUZZ_CHECK(EntryOp(e) == ebook::kOpInvalid);
    FUZZ_CHECK(t.status == ebook::kCodesIncomplete ||
               (t.status == ebook::kCodesComplete && before == 0));
    return;
  }
  const unsigned v = owner - 1;
  const int len = t.lengths[v];
  const unsigned here = static_cast<unsigned>(len - before);  // code bits at this level
  FUZZ_CHECK(here >= 1);
  if (v < t.s) {
    FUZZ_CHECK(EntryOp(e) == (v == 256 ? ebook::kOpEndOfBlock : ebook::kOpLiteral));
    FUZZ_CHECK(v == 256 || EntryValue(e) == v);
    FUZZ_CHECK(EntryBits(e) == here);
  } else if (v - t.s < t.baseCount) {
    // Resolved exactly when the extra bits fit the index beside the code:
    // then Op == Bits and the value is the base plus the extra bits the
    // index carries; otherwise Op is the code's bits and Value the base.
    const unsigned extra = t.extra[v - t.s];
    const unsigned total = here + extra;
    const bool resolved = total <= static_cast<unsigned>(width);
    FUZZ_CHECK(EntryBits(e) == total);
    FUZZ_CHECK(EntryOp(e) == (resolved ? total : here));
    const unsigned carried = resolved ? (path >> len) & ((1u << extra) - 1) : 0;
    FUZZ_CHECK(EntryValue(e) == t.bases[v - t.s] + carried);
  } else {
    FUZZ_CHECK(EntryOp(e) == ebook::kOpInvalid);
  }
  t.reached[v] = true;
}

// Walks the table of `width` index bits at `at`, reached after `before`
// bits that spelled `prefix`.
void Walk(Setup& t, unsigned at, int width, int before, unsigned prefix) {
  int longestHere = 0;
  for (unsigned i = 0; i < (1u << width); ++i) {
    const CodeTableEntry e = t.table[at + i];
    const unsigned path = prefix | i << before;
    if (ebook::IsLink(e)) {
      // Two levels at most: a link is in the root, takes the root's bits,
      // lies over codes longer than the root, and names a sub-table after
      // the root, within the capacity and no wider than the longest code
      // leaves.
      FUZZ_CHECK(before == 0);
      FUZZ_CHECK(static_cast<int>(EntryBits(e)) == t.rootBits);
      const unsigned owner = t.owner[path];
      FUZZ_CHECK(owner != 0 && t.lengths[owner - 1] > t.rootBits);
      const int sub = static_cast<int>(ebook::LinkBits(e));
      FUZZ_CHECK(sub >= 1 && sub <= t.longest - t.rootBits);
      const unsigned subAt = EntryValue(e);
      FUZZ_CHECK(subAt >= (1u << t.rootBits) && subAt + (1u << sub) <= t.capacity);
      Walk(t, subAt, sub, t.rootBits, path);
    } else {
      CheckLeaf(t, e, path, before, width);
      if (t.owner[path] != 0 && t.lengths[t.owner[path] - 1] > longestHere)
        longestHere = t.lengths[t.owner[path] - 1];
    }
  }
  // A sub-table is as narrow as the codes under its prefix allow.
  FUZZ_CHECK(before == 0 || longestHere == before + width);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  static Setup t;
  static uint16_t lengths[320];
  const bool distances = (data[0] & 1) != 0;
  const unsigned n = 1 + (data[1] | data[2] << 8) % 320;
  const int rootBits = 1 + data[3] % 11;
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
  t.rootBits = rootBits;

  // Reference status from the Kraft sum, and the canonical codes.
  unsigned count[kMaxBits + 1] = {};
  t.longest = 0;
  for (unsigned v = 0; v < n; ++v) {
    ++count[lengths[v]];
    if (lengths[v] > t.longest) t.longest = lengths[v];
  }
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

  // The whole array starts unwritten, so that an entry the builder should
  // have written and did not is seen, and so is a write past the capacity.
  // calloc maps fresh zero pages for an array this large (up to 20 MiB with
  // a root of one bit) rather than clearing it, which keeps runs fast.
  t.capacity = ebook::CodeTableCapacity(rootBits, n);
  const unsigned entries = t.capacity + kGuard;
  std::unique_ptr<CodeTableEntry, decltype(&std::free)> table(
      static_cast<CodeTableEntry*>(std::calloc(entries, sizeof(CodeTableEntry))), &std::free);
  FUZZ_CHECK(table != nullptr);
  t.table = table.get();
  const CodeTableStatus status =
      ebook::BuildCodeTables(lengths, n, s, t.bases, t.extra, t.baseCount, rootBits, table.get());
  FUZZ_CHECK(status == expected);
  t.status = status;
  for (unsigned k = t.capacity; k < entries; ++k) FUZZ_CHECK(t.table[k] == kUnwritten);
  if (status == ebook::kCodesOverSubscribed) {
    // Nothing built.
    for (unsigned k = 0; k < 1u << rootBits; ++k) FUZZ_CHECK(t.table[k] == kUnwritten);
    return 0;
  }

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

  Walk(t, 0, rootBits, 0, 0);
  for (unsigned v = 0; v < n; ++v) FUZZ_CHECK(lengths[v] == 0 || t.reached[v]);
  return 0;
}
