// Decoding-table builder for canonical Huffman codes (RFC 1951, 3.2.2).
//
// Codes are generated in canonical order from a running code `code` kept
// bit-reversed, so it is at the same time the index of the code in a table
// indexed by the low bits of the bit buffer. Tables nest: when a code is
// longer than the bits covered by the open tables, a sub-table is opened,
// linked from its parent, and sized to the smallest width that the remaining
// codes fill (widened while the longer codes cannot fill the space).
#include "code_tables.h"

#include <cstdlib>

namespace ebook {
namespace {

constexpr int kMaxCodeBits = 16;

CodeTableEntry* AllocateTable(int bits, CodeTableEntry*& chain) {
  size_t entries = (size_t{1} << bits) + 1;
  auto* table = static_cast<CodeTableEntry*>(std::malloc(entries * sizeof(CodeTableEntry)));
  // There is no way to go on without the table; the program ends.
  if (table == nullptr) std::abort();
  // The link slot chains this table to the one allocated before it.
  table[0] = CodeTableEntry{0, kOpInvalid, 0, chain};
  for (size_t k = 1; k < entries; ++k) table[k] = CodeTableEntry{1, kOpInvalid, 0, nullptr};
  chain = table;
  return table + 1;
}

}  // namespace

CodeTableStatus BuildCodeTables(const uint16_t* lengths, unsigned n, unsigned s,
                                const uint16_t* bases, const uint8_t* extraBits, unsigned baseCount,
                                int lookupBits, CodeTables& out) {
  out = CodeTables{};

  // A table that starts before the end-of-block code's length never reaches
  // past it, so decoding that code never loads a bit beyond it.
  unsigned eobLength = n > 256 ? lengths[256] : kMaxCodeBits;

  unsigned count[kMaxCodeBits + 1] = {};
  for (unsigned v = 0; v < n; ++v) {
    if (lengths[v] > kMaxCodeBits) return kCodesOverSubscribed;
    ++count[lengths[v]];
  }
  if (count[0] == n) return kCodesComplete;  // no code at all: no table

  int shortest = 1;
  while (count[shortest] == 0) ++shortest;
  int longest = kMaxCodeBits;
  while (count[longest] == 0) --longest;
  int m = lookupBits;
  if (m < shortest) m = shortest;
  if (m > longest) m = longest;

  // Check the Kraft sum; free codes of the longest length become dummies.
  int free = 1 << shortest;
  for (int len = shortest; len < longest; ++len) {
    free -= static_cast<int>(count[len]);
    if (free < 0) return kCodesOverSubscribed;
    free *= 2;
  }
  free -= static_cast<int>(count[longest]);
  if (free < 0) return kCodesOverSubscribed;
  count[longest] += static_cast<unsigned>(free);
  const int dummies = free;

  // Used symbols by length, and by value within one length.
  uint16_t symbols[320 + 1];
  unsigned offsets[kMaxCodeBits + 2];
  offsets[1] = 0;
  for (int len = 1; len <= kMaxCodeBits; ++len) {
    unsigned used = count[len] - (len == longest ? static_cast<unsigned>(dummies) : 0);
    offsets[len + 1] = offsets[len] + used;
  }
  const unsigned usedSymbols = offsets[kMaxCodeBits + 1];
  if (usedSymbols > 320) return kCodesOverSubscribed;  // more symbols than any Deflate code
  for (unsigned v = 0; v < n; ++v) {
    if (lengths[v] != 0) symbols[offsets[lengths[v]]++] = static_cast<uint16_t>(v);
  }

  // Open tables as a stack of levels.
  CodeTableEntry* levelTable[kMaxCodeBits + 1];
  int levelBits[kMaxCodeBits + 1];
  unsigned levelPrefix[kMaxCodeBits + 1];
  int level = -1;  // innermost open level
  int before = 0;  // bits decoded before the innermost open level
  unsigned code = 0;
  unsigned next = 0;  // next symbol of the list
  CodeTableEntry* chain = nullptr;

  for (int len = shortest; len <= longest; ++len) {
    for (unsigned left = count[len]; left-- != 0;) {
      // Open levels until the code ends inside the innermost one.
      while (len > before + (level >= 0 ? levelBits[level] : 0)) {
        if (level >= 0) before += levelBits[level];
        int limit = longest - before < m ? longest - before : m;
        int bits = len - before;
        if ((1u << bits) > left + 1) {
          // Too few codes of this length to fill a table of `bits`: widen
          // while the longer codes cannot fill the space either.
          unsigned space = (1u << bits) - (left + 1);
          int longer = len;
          for (;;) {
            ++bits;
            if (bits >= limit) break;
            ++longer;
            space *= 2;
            if (space <= count[longer]) break;
            space -= count[longer];
          }
        }
        if (before + bits > static_cast<int>(eobLength) && before < static_cast<int>(eobLength)) {
          bits = static_cast<int>(eobLength) - before;
        }
        // A root narrower than asked for (short codes only, or a short end
        // of block) is widened: its codes repeat, and the decoder indexes
        // every root of a kind with one fixed mask.
        if (level < 0 && bits < lookupBits) bits = lookupBits;
        CodeTableEntry* table = AllocateTable(bits, chain);
        ++level;
        levelTable[level] = table;
        levelBits[level] = bits;
        levelPrefix[level] = code & ((1u << before) - 1);
        if (level == 0) {
          out.Root = table;
        } else {
          int parentBits = levelBits[level - 1];
          unsigned index = levelPrefix[level] >> (before - parentBits);
          levelTable[level - 1][index] = CodeTableEntry{static_cast<uint8_t>(parentBits),
                                                        static_cast<uint8_t>(kOpLinkBase + bits), 0, table};
        }
      }

      CodeTableEntry entry{static_cast<uint8_t>(len - before), kOpInvalid, 0, nullptr};
      if (next < usedSymbols) {
        unsigned v = symbols[next++];
        if (v < s) {
          entry.Op = v == 256 ? kOpEndOfBlock : kOpLiteral;
          entry.Value = static_cast<uint16_t>(v);
        } else if (v - s < baseCount) {
          entry.Op = extraBits[v - s];
          entry.Value = bases[v - s];
        }
      }
      const unsigned size = 1u << levelBits[level];
      for (unsigned k = code >> before; k < size; k += 1u << (len - before)) {
        levelTable[level][k] = entry;
      }

      // Next code, bit-reversed: add 1 at bit len-1 with the carry running
      // towards bit 0.
      unsigned bit = 1u << (len - 1);
      while (code & bit) {
        code ^= bit;
        bit >>= 1;
      }
      code ^= bit;
      // Close the levels whose prefix the new code has left.
      while (level > 0 && (code & ((1u << before) - 1)) != levelPrefix[level]) {
        --level;
        before -= levelBits[level];
      }
    }
  }

  out.Chain = chain;
  out.LookupBits = levelBits[0];
  return dummies != 0 && longest != 1 ? kCodesIncomplete : kCodesComplete;
}

void ReleaseCodeTables(CodeTableEntry* chain) {
  while (chain != nullptr) {
    CodeTableEntry* previous = chain[0].Next;
    std::free(chain);
    chain = previous;
  }
}

}  // namespace ebook
