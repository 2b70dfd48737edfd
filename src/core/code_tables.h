// Multi-level decoding tables for the canonical Huffman codes of RFC 1951.
//
// A code set is a root table indexed directly by the low bits of the bit
// buffer (Deflate packs codes from the least significant bit, bit-reversed,
// so no reversal is needed at decode time) plus sub-tables, reached through
// link entries, for the codes longer than the root's index bits.
//
// Every table is one allocation of 2^j + 1 entries: a link slot, then the
// 2^j entries proper. The link slot chains the tables of one code set, newest
// first, so the whole set is released in one walk from the chain head.
#pragma once

#include <cstdint>

namespace ebook {

// Op values of a CodeTableEntry.
enum : uint8_t {
  kOpMaxExtraBits = 13,  // 0..13: a length or distance base with Op extra bits
  kOpEndOfBlock = 15,    // symbol 256
  kOpLiteral = 16,       // a literal byte, or a code-length symbol
  kOpLinkBase = 16,      // 17..32: link; the sub-table takes Op - 16 bits
  kOpInvalid = 99,       // a free code of an incomplete set, or an unusable symbol
};

// The first four bytes read as one little-endian word are Bits | Op << 8 |
// Value << 16, so the decoder's hot loop loads an entry once and shifts the
// bit buffer by its low byte.
struct CodeTableEntry {
  uint8_t Bits;          // bits this entry stands for at its table level
  uint8_t Op;
  uint16_t Value;        // literal, code-length symbol, or base length/distance
  CodeTableEntry* Next;  // sub-table of a link entry (its entries proper)
};

enum CodeTableStatus : int {
  kCodesComplete = 0,        // complete set, a single one-bit code, or no code
  kCodesIncomplete = 1,      // tables built; free codes decode as kOpInvalid
  kCodesOverSubscribed = 2,  // nothing allocated
};

struct CodeTables {
  const CodeTableEntry* Root = nullptr;  // entries proper of the root table
  CodeTableEntry* Chain = nullptr;       // newest table, for ReleaseCodeTables
  int LookupBits = 0;                    // index bits of the root table
};

// Builds the tables for `n` code lengths (0: no code). Symbols below `s` are
// simple (literal, or end of block for 256); symbol v >= s takes bases[v - s]
// and extraBits[v - s], and a symbol past `baseCount` decodes as invalid.
// `lookupBits` is the root width wanted; the result's LookupBits is the width
// actually used: `lookupBits`, or more when the shortest code is longer.
// With no code at all, Root stays null and the status is 0.
CodeTableStatus BuildCodeTables(const uint16_t* lengths, unsigned n, unsigned s,
                                const uint16_t* bases, const uint8_t* extraBits, unsigned baseCount,
                                int lookupBits, CodeTables& out);

void ReleaseCodeTables(CodeTableEntry* chain);

}  // namespace ebook
