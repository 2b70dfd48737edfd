#include "core/code_tables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "test_support.h"

namespace ebook::test {
namespace {

// Owns the tables of one build and releases the whole chain.
struct Built {
  CodeTables tables;
  CodeTableStatus status;
  Built(const std::vector<uint16_t>& lengths, unsigned s, const uint16_t* bases,
        const uint8_t* extra, unsigned baseCount, int lookupBits) {
    status = BuildCodeTables(lengths.data(), static_cast<unsigned>(lengths.size()), s, bases, extra,
                             baseCount, lookupBits, tables);
  }
  ~Built() { ReleaseCodeTables(tables.Chain); }
  Built(const Built&) = delete;
  Built& operator=(const Built&) = delete;
};

// Follows the entries for the bits in `bits` (first bit in bit 0) as the
// decoder does. Returns the final entry and the number of bits it took.
struct Walk {
  CodeTableEntry entry;
  int used;
};
Walk Decode(const CodeTables& t, uint32_t bits) {
  const CodeTableEntry* table = t.Root;
  int width = t.LookupBits;
  int used = 0;
  for (int level = 0;; ++level) {
    const CodeTableEntry& e = table[(bits >> used) & ((1u << width) - 1)];
    used += e.Bits;
    if (e.Op <= kOpLinkBase || e.Op > kOpLinkBase + 16 || level == 15) {
      return {e, used};
    }
    table = e.Next;
    width = e.Op - kOpLinkBase;
  }
}

// The canonical code of every symbol, bit-reversed into stream order.
std::vector<uint32_t> StreamCodes(const std::vector<uint16_t>& lengths) {
  unsigned count[16] = {}, next[16] = {};
  for (uint16_t l : lengths) ++count[l];
  count[0] = 0;
  for (int len = 1, code = 0; len < 16; ++len) {
    code = (code + count[len - 1]) << 1;
    next[len] = code;
  }
  std::vector<uint32_t> codes(lengths.size());
  for (size_t sym = 0; sym < lengths.size(); ++sym) {
    int len = lengths[sym];
    if (len == 0) continue;
    uint32_t c = next[len]++, r = 0;
    for (int i = 0; i < len; ++i) r |= ((c >> i) & 1) << (len - 1 - i);
    codes[sym] = r;
  }
  return codes;
}

// What symbol `sym` must decode to for a build with `s` and these bases.
void ExpectSymbol(const CodeTableEntry& e, unsigned sym, unsigned s, const uint16_t* bases,
                  const uint8_t* extra, unsigned baseCount) {
  if (sym < s) {
    if (sym == 256) {
      EXPECT_EQ(e.Op, kOpEndOfBlock) << "symbol " << sym;
    } else {
      EXPECT_EQ(e.Op, kOpLiteral) << "symbol " << sym;
      EXPECT_EQ(e.Value, sym) << "symbol " << sym;
    }
  } else if (sym - s < baseCount) {
    EXPECT_EQ(e.Op, extra[sym - s]) << "symbol " << sym;
    EXPECT_EQ(e.Value, bases[sym - s]) << "symbol " << sym;
  } else {
    EXPECT_EQ(e.Op, kOpInvalid) << "symbol " << sym;
  }
}

TEST(CodeTables, DegenerateSets) {
  {
    SCOPED_TRACE("single code of length 1");
    std::vector<uint16_t> lengths(19, 0);
    lengths[5] = 1;
    Built b(lengths, 19, nullptr, nullptr, 0, 7);
    EXPECT_EQ(b.status, kCodesComplete);
    ASSERT_NE(b.tables.Root, nullptr);
    // Whatever the root width, bit 0 decides: 0 is the code, 1 is free.
    for (uint32_t bits = 0; bits < 256; ++bits) {
      Walk w = Decode(b.tables, bits);
      if (bits & 1) {
        EXPECT_EQ(w.entry.Op, kOpInvalid) << "bits " << bits;
      } else {
        EXPECT_EQ(w.entry.Op, kOpLiteral) << "bits " << bits;
        EXPECT_EQ(w.entry.Value, 5) << "bits " << bits;
        EXPECT_EQ(w.used, 1) << "bits " << bits;
      }
    }
  }
  {
    SCOPED_TRACE("no code at all");
    std::vector<uint16_t> lengths(30, 0);
    Built b(lengths, 0, kDistBase, kDistExtra, 30, 5);
    EXPECT_EQ(b.status, kCodesComplete);
    EXPECT_EQ(b.tables.Root, nullptr);
    EXPECT_EQ(b.tables.LookupBits, 0);
  }
  for (auto over :
       {std::vector<uint16_t>{1, 1, 1}, std::vector<uint16_t>{2, 2, 2, 2, 3, 0, 0, 1},
        std::vector<uint16_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 15, 15}}) {
    SCOPED_TRACE("over-subscribed set of " + std::to_string(over.size()));
    Built b(over, static_cast<unsigned>(over.size()), nullptr, nullptr, 0, 7);
    EXPECT_EQ(b.status, kCodesOverSubscribed);
    EXPECT_EQ(b.tables.Root, nullptr);
    EXPECT_EQ(b.tables.Chain, nullptr);
  }
}

TEST(CodeTables, FixedLiteralLengthCode) {
  std::vector<uint16_t> lengths(288);
  std::fill(lengths.begin(), lengths.begin() + 144, 8);
  std::fill(lengths.begin() + 144, lengths.begin() + 256, 9);
  std::fill(lengths.begin() + 256, lengths.begin() + 280, 7);
  std::fill(lengths.begin() + 280, lengths.end(), 8);
  Built b(lengths, 257, kLengthBase, kLengthExtra, 29, 7);
  ASSERT_EQ(b.status, kCodesComplete);
  ASSERT_EQ(b.tables.LookupBits, 7);
  // End of block is the 7-bit code 0000000: straight in the root.
  EXPECT_EQ(b.tables.Root[0].Op, kOpEndOfBlock);
  EXPECT_EQ(b.tables.Root[0].Bits, 7);
  // Every root slot is a 7-bit code or a link to a one- or two-bit table.
  std::vector<uint32_t> codes = StreamCodes(lengths);
  int links = 0;
  for (uint32_t i = 0; i < 128; ++i) {
    const CodeTableEntry& e = b.tables.Root[i];
    if (e.Op > kOpLinkBase && e.Op <= kOpLinkBase + 16) {
      ++links;
      EXPECT_TRUE(e.Op == kOpLinkBase + 1 || e.Op == kOpLinkBase + 2) << "slot " << i;
      EXPECT_NE(e.Next, nullptr);
    } else {
      EXPECT_EQ(e.Bits, 7) << "slot " << i;
    }
  }
  EXPECT_EQ(links, 128 - 24);
  for (unsigned sym = 0; sym < 288; ++sym) {
    for (uint32_t high : {0u, 0x1FFu}) {
      Walk w = Decode(b.tables, codes[sym] | (high << lengths[sym]));
      EXPECT_EQ(w.used, lengths[sym]) << "symbol " << sym;
      ExpectSymbol(w.entry, sym, 257, kLengthBase, kLengthExtra, 29);
    }
  }
}

TEST(CodeTables, FixedDistanceCode) {
  // 30 codes of 5 bits leave two codes free; 32 lengths fill the set, and
  // symbols 30 and 31 have no base.
  for (unsigned n : {30u, 32u}) {
    SCOPED_TRACE(n);
    std::vector<uint16_t> lengths(n, 5);
    Built b(lengths, 0, kDistBase, kDistExtra, 30, 5);
    EXPECT_EQ(b.status, n == 30 ? kCodesIncomplete : kCodesComplete);
    ASSERT_EQ(b.tables.LookupBits, 5);
    std::vector<uint16_t> all(32, 5);
    std::vector<uint32_t> codes = StreamCodes(all);
    for (unsigned sym = 0; sym < 32; ++sym) {
      Walk w = Decode(b.tables, codes[sym]);
      EXPECT_EQ(w.used, 5);
      ExpectSymbol(w.entry, sym, 0, kDistBase, kDistExtra, 30);
    }
  }
}

// A random length set with a prefix code of the given shape: split random
// leaves of a one-leaf tree until `symbols` leaves exist (a complete code),
// then maybe drop some leaves (an incomplete one).
std::vector<uint16_t> RandomLengths(Rng& rng, unsigned n, unsigned symbols, int maxLen,
                                    unsigned drop) {
  std::vector<int> depths{0};
  while (depths.size() < symbols) {
    size_t i = rng.Below(static_cast<uint32_t>(depths.size()));
    if (depths[i] >= maxLen) continue;
    int d = ++depths[i];
    depths.push_back(d);
  }
  for (unsigned k = 0; k < drop && depths.size() > 1; ++k)
    depths.erase(depths.begin() + rng.Below(static_cast<uint32_t>(depths.size())));
  std::vector<uint16_t> lengths(n, 0);
  std::vector<unsigned> order(n);
  for (unsigned i = 0; i < n; ++i) order[i] = i;
  for (unsigned i = n - 1; i > 0; --i) std::swap(order[i], order[rng.Below(i + 1)]);
  for (size_t i = 0; i < depths.size(); ++i) lengths[order[i]] = static_cast<uint16_t>(depths[i]);
  return lengths;
}

// Every bit pattern as wide as the longest code decodes to the one symbol
// whose code it starts with, taking exactly that code's bits; in an
// incomplete set the patterns that start no code decode as invalid.
TEST(CodeTables, EveryPatternDecodesToItsSymbol) {
  struct Kind {
    const char* name;
    unsigned n, s;
    const uint16_t* bases;
    const uint8_t* extra;
    unsigned baseCount;
    int maxLen;
  };
  // Distinct bases, so that the decoded entry names its symbol.
  uint16_t uniqueBases[32];
  uint8_t uniqueExtra[32];
  for (int i = 0; i < 32; ++i) {
    uniqueBases[i] = static_cast<uint16_t>(1000 + i);
    uniqueExtra[i] = static_cast<uint8_t>(i % 14);
  }
  const Kind kKinds[] = {
      {"literal/length", 288, 257, kLengthBase, kLengthExtra, 29, 15},
      {"distance", 30, 0, uniqueBases, uniqueExtra, 30, 15},
      {"code length", 19, 19, nullptr, nullptr, 0, 7},
      {"literals only", 256, 256, nullptr, nullptr, 0, 15},
  };
  Rng rng(0x7AB1E);
  for (const Kind& k : kKinds) {
    for (int trial = 0; trial < 60; ++trial) {
      unsigned symbols = 2 + rng.Below(k.n - 1);
      unsigned drop = trial % 3 == 0 ? 1 + rng.Below(3) : 0;
      std::vector<uint16_t> lengths = RandomLengths(rng, k.n, symbols, k.maxLen, drop);
      int lookup = 1 + static_cast<int>(rng.Below(10));
      SCOPED_TRACE(std::string(k.name) + " trial " + std::to_string(trial) + " lookup " +
                   std::to_string(lookup));
      Built b(lengths, k.s, k.bases, k.extra, k.baseCount, lookup);
      // Dropping leaves may leave one code of one bit, which counts as
      // complete; otherwise the Kraft sum tells.
      uint32_t kraft = 0;
      unsigned used = 0;
      for (uint16_t l : lengths) {
        if (l != 0) kraft += 1u << (15 - l), ++used;
      }
      bool complete = kraft == 1u << 15 || (used == 1 && kraft == 1u << 14);
      ASSERT_EQ(b.status, complete ? kCodesComplete : kCodesIncomplete);
      ASSERT_NE(b.tables.Root, nullptr);
      int maxLen = *std::max_element(lengths.begin(), lengths.end());
      // Which symbol each pattern starts with (-1: none).
      std::vector<int> owner(1u << maxLen, -1);
      std::vector<uint32_t> codes = StreamCodes(lengths);
      for (unsigned sym = 0; sym < k.n; ++sym) {
        if (lengths[sym] == 0) continue;
        for (uint32_t high = 0; high < 1u << (maxLen - lengths[sym]); ++high)
          owner[codes[sym] | (high << lengths[sym])] = static_cast<int>(sym);
      }
      // The root is at least as wide as asked for: the decoder masks a root
      // of the width it asked for with a fixed mask.
      ASSERT_GE(b.tables.LookupBits, lookup);
      for (uint32_t pattern = 0; pattern < 2 * owner.size(); ++pattern) {
        // Each pattern once as it is and once with every bit above the
        // longest code set: bits past a code must not change its entry.
        const uint32_t bits = pattern / 2;
        Walk w = Decode(b.tables, pattern % 2 ? bits | 0xFFFFu << maxLen : bits);
        if (owner[bits] < 0) {
          ASSERT_EQ(w.entry.Op, kOpInvalid) << "free pattern " << bits;
          continue;
        }
        unsigned sym = static_cast<unsigned>(owner[bits]);
        ASSERT_EQ(w.used, lengths[sym]) << "symbol " << sym;
        ExpectSymbol(w.entry, sym, k.s, k.bases, k.extra, k.baseCount);
        if (HasFailure()) return;
      }
    }
  }
}

}  // namespace
}  // namespace ebook::test
