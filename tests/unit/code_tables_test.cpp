#include "core/code_tables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"

namespace ebook::test {
namespace {

// Every array starts as this, which no entry the builder writes can be (its
// Op is no kind), and runs on past the capacity by a guard that must stay so.
constexpr CodeTableEntry kSentinel = 0xFFFFFFFFu;
constexpr unsigned kGuard = 1024;

// Whole for 64 bits or more, which a broken entry may ask for.
constexpr uint64_t Mask(unsigned bits) {
  return bits < 64 ? (uint64_t{1} << bits) - 1 : ~uint64_t{0};
}

struct Set {
  std::vector<uint16_t> lengths;
  unsigned s;
  const uint16_t* bases;
  const uint8_t* extra;
  unsigned baseCount;
};

struct Built {
  int rootBits;
  unsigned capacity;
  std::vector<CodeTableEntry> table;  // capacity + kGuard entries
  CodeTableStatus status;
};

Built Build(const Set& set, int rootBits) {
  const unsigned n = static_cast<unsigned>(set.lengths.size());
  Built b{rootBits, CodeTableCapacity(rootBits, n), {}, kCodesComplete};
  b.table.assign(b.capacity + kGuard, kSentinel);
  b.status = BuildCodeTables(set.lengths.data(), n, set.s, set.bases, set.extra, set.baseCount,
                             rootBits, b.table.data());
  return b;
}

bool GuardUntouched(const Built& b) {
  return std::all_of(b.table.begin() + b.capacity, b.table.end(),
                     [](CodeTableEntry e) { return e == kSentinel; });
}

// What the decoder makes of `bits` (first bit in bit 0): a root lookup, at
// most one link, and for a length or distance Value + ((bits at the leaf's
// level & mask(Bits)) >> Op).
struct Walk {
  const char* fault;  // the walk left the format or the array
  CodeTableEntry leaf;
  int before;  // bits taken before the leaf's table: 0 or the root's
  int width;   // index bits of the leaf's table
  unsigned value;
  int used;  // bits taken in all
};

Walk Decode(const Built& b, uint64_t bits) {
  const int root = b.rootBits;
  Walk w{nullptr, b.table[bits & Mask(root)], 0, root, 0, 0};
  if (IsLink(w.leaf)) {
    const unsigned sub = LinkBits(w.leaf), at = EntryValue(w.leaf);
    if (EntryBits(w.leaf) != static_cast<unsigned>(root))
      w.fault = "link takes other than the root";
    if (sub == 0 || at < 1u << root || at + (1u << sub) > b.capacity) w.fault = "bad sub-table";
    if (w.fault) return w;
    w.leaf = b.table[at + ((bits >> root) & Mask(sub))];
    w.before = root;
    w.width = static_cast<int>(sub);
    if (IsLink(w.leaf)) w.fault = "link in a sub-table";
  }
  const unsigned op = EntryOp(w.leaf), entryBits = EntryBits(w.leaf);
  w.value = EntryValue(w.leaf);
  if (op < kOpLink) w.value += static_cast<unsigned>(((bits >> w.before) & Mask(entryBits)) >> op);
  w.used = w.before + static_cast<int>(entryBits);
  return w;
}

// Checks the walk of `bits`, which start with the code of `sym` (`len`
// bits): a literal or end of block takes its code, a length or distance its
// code and extra bits and yields the base plus those extra bits, resolved in
// the table (Op == Bits) exactly when they fit the index beside the code.
testing::AssertionResult DecodesTo(const Set& set, const Walk& w, unsigned sym, int len,
                                   uint64_t bits) {
  auto fail = [&] {
    return testing::AssertionFailure()
           << "symbol " << sym << " (" << len << " bits), pattern 0x" << std::hex << bits
           << std::dec << ", entry op " << EntryOp(w.leaf) << " bits " << EntryBits(w.leaf)
           << " value " << EntryValue(w.leaf) << " at level width " << w.width << ": ";
  };
  if (w.fault) return fail() << w.fault;
  const int here = len - w.before;  // the code's bits at the leaf's level
  if (here < 1 || here > w.width) return fail() << "code does not end in this table";
  const unsigned op = EntryOp(w.leaf), entryBits = EntryBits(w.leaf);
  if (sym < set.s) {
    const unsigned want = sym == 256 ? kOpEndOfBlock : kOpLiteral;
    if (op != want || (want == kOpLiteral && w.value != sym) || w.used != len)
      return fail() << "want a literal or end of block taking its code";
  } else if (sym - set.s < set.baseCount) {
    const unsigned extra = set.extra[sym - set.s];
    const unsigned total = static_cast<unsigned>(here) + extra;
    const bool resolved = total <= static_cast<unsigned>(w.width);
    if (op != (resolved ? total : static_cast<unsigned>(here)) || entryBits != total)
      return fail() << (resolved ? "want it resolved" : "want it unresolved");
    if (w.value != set.bases[sym - set.s] + ((bits >> len) & Mask(extra)) ||
        w.used != len + static_cast<int>(extra))
      return fail() << "want base " << set.bases[sym - set.s] << " plus " << extra
                    << " extra bits, got " << w.value << " taking " << w.used;
  } else if (op != kOpInvalid) {
    return fail() << "want invalid (no base)";
  }
  return testing::AssertionSuccess();
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

// Resolved and unresolved length and distance leaves met, by level.
struct Tally {
  unsigned resolved[2] = {}, unresolved[2] = {};
};

// Every pattern of as many bits as the root or the longest code, whichever is
// more (so every entry of every table), followed by zeros, by ones and by
// random bits (the extra bits past those, up to 13), decodes to the symbol
// whose code it starts with, or as invalid when it starts none.
testing::AssertionResult DecodesEveryPattern(const Set& set, const Built& b, Rng& rng,
                                             Tally* tally = nullptr) {
  const int longest = *std::max_element(set.lengths.begin(), set.lengths.end());
  const int width = std::max(longest, b.rootBits);
  std::vector<int> owner(size_t{1} << width, -1);
  const std::vector<uint32_t> codes = StreamCodes(set.lengths);
  for (unsigned sym = 0; sym < set.lengths.size(); ++sym) {
    const int len = set.lengths[sym];
    if (len == 0) continue;
    for (uint32_t high = 0; high < 1u << (width - len); ++high)
      owner[codes[sym] | high << len] = static_cast<int>(sym);
  }
  for (uint32_t low = 0; low < owner.size(); ++low) {
    for (uint64_t high : {uint64_t{0}, Mask(28), rng.Next() & Mask(28)}) {
      const uint64_t bits = low | high << width;
      const Walk w = Decode(b, bits);
      if (owner[low] < 0) {
        if (w.fault || EntryOp(w.leaf) != kOpInvalid)
          return testing::AssertionFailure()
                 << "free pattern 0x" << std::hex << bits << ": " << (w.fault ? w.fault : "valid");
        continue;
      }
      const unsigned sym = static_cast<unsigned>(owner[low]);
      testing::AssertionResult r = DecodesTo(set, w, sym, set.lengths[sym], bits);
      if (!r) return r;
      if (tally && EntryOp(w.leaf) < kOpLink) {
        const int level = w.before > 0;
        ++(EntryOp(w.leaf) == EntryBits(w.leaf) ? tally->resolved : tally->unresolved)[level];
      }
    }
  }
  if (!GuardUntouched(b)) return testing::AssertionFailure() << "written past the capacity";
  return testing::AssertionSuccess();
}

Set FixedLiteralLength() {
  Set set{std::vector<uint16_t>(288), 257, kLengthBase, kLengthExtra, 29};
  std::fill(set.lengths.begin(), set.lengths.begin() + 144, 8);
  std::fill(set.lengths.begin() + 144, set.lengths.begin() + 256, 9);
  std::fill(set.lengths.begin() + 256, set.lengths.begin() + 280, 7);
  std::fill(set.lengths.begin() + 280, set.lengths.end(), 8);
  return set;
}

TEST(CodeTables, DegenerateSets) {
  Rng rng(1);
  for (int root = 1; root <= 11; ++root) {
    SCOPED_TRACE("root " + std::to_string(root));
    // One code of one bit is complete by RFC 1951's rule; the other bit
    // value is free. As a distance with extra bits, it is resolved in a
    // root wide enough (3 extra bits: 4 or more).
    Set literal{std::vector<uint16_t>(19, 0), 19, nullptr, nullptr, 0};
    literal.lengths[5] = 1;
    Set distance{std::vector<uint16_t>(30, 0), 0, kDistBase, kDistExtra, 30};
    distance.lengths[8] = 1;
    for (const Set& one : {literal, distance}) {
      Built b = Build(one, root);
      EXPECT_EQ(b.status, kCodesComplete);
      EXPECT_TRUE(DecodesEveryPattern(one, b, rng));
    }

    // No code at all: complete, and every root entry invalid.
    Built none = Build({std::vector<uint16_t>(30, 0), 0, kDistBase, kDistExtra, 30}, root);
    EXPECT_EQ(none.status, kCodesComplete);
    for (unsigned i = 0; i < 1u << root; ++i)
      ASSERT_EQ(EntryOp(none.table[i]), kOpInvalid) << "root entry " << i;
    EXPECT_TRUE(GuardUntouched(none));
  }
  // Over-subscribed sets build nothing.
  for (auto over :
       {std::vector<uint16_t>{1, 1, 1}, std::vector<uint16_t>{2, 2, 2, 2, 3, 0, 0, 1},
        std::vector<uint16_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 15, 15}}) {
    SCOPED_TRACE("over-subscribed set of " + std::to_string(over.size()));
    Built b = Build({over, static_cast<unsigned>(over.size()), nullptr, nullptr, 0}, 7);
    EXPECT_EQ(b.status, kCodesOverSubscribed);
    EXPECT_TRUE(std::all_of(b.table.begin(), b.table.end(),
                            [](CodeTableEntry e) { return e == kSentinel; }));
  }
}

TEST(CodeTables, FixedLiteralLengthCode) {
  const Set set = FixedLiteralLength();
  Rng rng(2);
  for (int root : {7, 9, 11}) {
    SCOPED_TRACE("root " + std::to_string(root));
    Built b = Build(set, root);
    ASSERT_EQ(b.status, kCodesComplete);
    EXPECT_TRUE(DecodesEveryPattern(set, b, rng));
    // With a root of 9 or more every code ends in the root. With 7, the 152
    // 8-bit codes pair up under 76 prefixes and the 112 9-bit codes come in
    // fours under 28: one sub-table each, exactly as wide as its codes.
    unsigned links[3] = {};
    for (unsigned i = 0; i < 1u << root; ++i) {
      const CodeTableEntry e = b.table[i];
      if (!IsLink(e)) continue;
      const unsigned w = LinkBits(e);
      ASSERT_TRUE(w == 1 || w == 2) << "root entry " << i << " links a table of " << w;
      ++links[w];
    }
    EXPECT_EQ(links[1], root == 7 ? 76u : 0u);
    EXPECT_EQ(links[2], root == 7 ? 28u : 0u);
  }
}

TEST(CodeTables, FixedDistanceCode) {
  // 30 codes of 5 bits leave two codes free; 32 lengths fill the set, and
  // symbols 30 and 31 have no base.
  Rng rng(3);
  for (unsigned n : {30u, 32u}) {
    const Set set{std::vector<uint16_t>(n, 5), 0, kDistBase, kDistExtra, 30};
    for (int root : {1, 5, 8, 11}) {
      SCOPED_TRACE("n " + std::to_string(n) + " root " + std::to_string(root));
      Built b = Build(set, root);
      EXPECT_EQ(b.status, n == 30 ? kCodesIncomplete : kCodesComplete);
      EXPECT_TRUE(DecodesEveryPattern(set, b, rng));
    }
  }
  // Two examples worked by hand, with a root of 8: distance symbol 9 (base
  // 25, 3 extra bits) then extra bits 5 is distance 30, all in the root
  // entry; symbol 29 (base 24577, 13 extra bits) then 8191 is 32768, the
  // extra bits read past the entry.
  const Set set{std::vector<uint16_t>(30, 5), 0, kDistBase, kDistExtra, 30};
  Built b = Build(set, 8);
  const std::vector<uint32_t> codes = StreamCodes(set.lengths);
  const Walk nine = Decode(b, codes[9] | 5u << 5);
  EXPECT_EQ(nine.value, 30u);
  EXPECT_EQ(nine.used, 8);
  EXPECT_EQ(EntryOp(nine.leaf), 8u);
  const Walk last = Decode(b, codes[29] | 8191u << 5);
  EXPECT_EQ(last.value, 32768u);
  EXPECT_EQ(last.used, 18);
  EXPECT_EQ(EntryOp(last.leaf), 5u);
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

TEST(CodeTables, EveryPatternDecodesToItsSymbol) {
  struct Kind {
    const char* name;
    unsigned n, s;
    const uint16_t* bases;
    const uint8_t* extra;
    unsigned baseCount;
    int maxLen;
  };
  const Kind kKinds[] = {
      {"literal/length", 288, 257, kLengthBase, kLengthExtra, 29, 15},
      {"distance", 30, 0, kDistBase, kDistExtra, 30, 15},
      {"code length", 19, 19, nullptr, nullptr, 0, 7},
      {"literals only", 256, 256, nullptr, nullptr, 0, 15},
  };
  Rng rng(0x7AB1E);
  Tally tally;
  for (const Kind& k : kKinds) {
    for (int trial = 0; trial < 66; ++trial) {
      const unsigned symbols = 2 + rng.Below(k.n - 1);
      const unsigned drop = trial % 3 == 0 ? 1 + rng.Below(3) : 0;
      const Set set{RandomLengths(rng, k.n, symbols, k.maxLen, drop), k.s, k.bases, k.extra,
                    k.baseCount};
      const int root = 1 + trial % 11;
      SCOPED_TRACE(std::string(k.name) + " trial " + std::to_string(trial) + " root " +
                   std::to_string(root));
      Built b = Build(set, root);
      // Dropping leaves may leave one code of one bit, which counts as
      // complete; otherwise the Kraft sum tells.
      uint32_t kraft = 0;
      unsigned used = 0;
      for (uint16_t l : set.lengths) {
        if (l != 0) kraft += 1u << (15 - l), ++used;
      }
      const bool complete = kraft == 1u << 15 || (used == 1 && kraft == 1u << 14);
      ASSERT_EQ(b.status, complete ? kCodesComplete : kCodesIncomplete);
      ASSERT_TRUE(DecodesEveryPattern(set, b, rng, &tally));
    }
  }
  // The random sets met lengths and distances resolved and not, in the root
  // and in sub-tables.
  for (int level = 0; level < 2; ++level) {
    EXPECT_GT(tally.resolved[level], 0u) << "level " << level;
    EXPECT_GT(tally.unresolved[level], 0u) << "level " << level;
  }
}

}  // namespace
}  // namespace ebook::test
