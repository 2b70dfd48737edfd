// Two-level decoding tables for the canonical Huffman codes of RFC 1951.
//
// A code set is a root table indexed directly by the low `rootBits` bits of
// the bit buffer (Deflate packs codes from the least significant bit,
// bit-reversed, so no reversal is needed at decode time) plus sub-tables,
// reached through link entries, for the codes longer than the root. All of
// a set's tables lie in one caller-owned array, the root first, so that a
// link names its sub-table by index and an entry fits one 32-bit word: the
// decoder's table stays small enough for the first-level cache, and a
// lookup is one load.
//
// A length or distance symbol whose extra bits fit the table's index bits
// beside its code is resolved in the table: each index that starts with the
// code holds the base plus the extra bits that index carries, and takes the
// code and its extra bits at once.
#pragma once

#include <cstdint>

namespace ebook {

// An entry is Bits | Op << 8 | Value << 16.
//   Bits:  the bits the entry takes at its table level; for a length or
//          distance, its code's bits there plus its extra bits.
//   Op:    below kOpLink, a length or distance: Op is its code's bits at
//          this level, Bits - Op are its extra bits (read right after the
//          code; none when resolved into Value), Value is the base;
//          kOpLiteral: Value is a literal or a code-length symbol;
//          kOpLink + w: Value is the index of a sub-table of w index bits,
//          and Bits the root's width;
//          kOpEndOfBlock, or kOpInvalid for a free code of an incomplete set
//          and a symbol without meaning.
using CodeTableEntry = uint32_t;

enum : uint8_t {
  kOpLink = 0x20,
  kOpEndOfBlock = 0x40,
  kOpInvalid = 0x60,
  kOpLiteral = 0x80,
};

constexpr unsigned EntryBits(CodeTableEntry e) { return e & 0xFF; }
constexpr unsigned EntryOp(CodeTableEntry e) { return (e >> 8) & 0xFF; }
constexpr unsigned EntryValue(CodeTableEntry e) { return e >> 16; }
// Ops kOpLink up to kOpEndOfBlock, as one unsigned comparison.
constexpr bool IsLink(CodeTableEntry e) {
  return EntryOp(e) - kOpLink < unsigned{kOpEndOfBlock - kOpLink};
}
// The index bits of a link's sub-table.
constexpr unsigned LinkBits(CodeTableEntry e) { return EntryOp(e) - kOpLink; }

constexpr int kMaxCodeBits = 15;

// Entries a set of at most `symbols` codes may take with a root of
// `rootBits`: the root, and at most one sub-table per code longer than the
// root, none wider than the longest code leaves. (Nor can the sub-tables
// together take more than 2^15 entries, so a link's 16-bit index always
// reaches its sub-table.)
constexpr unsigned CodeTableCapacity(int rootBits, unsigned symbols) {
  return (1u << rootBits) + symbols * (1u << (kMaxCodeBits - rootBits));
}

enum CodeTableStatus : int {
  kCodesComplete = 0,        // complete set, a single one-bit code, or no code
  kCodesIncomplete = 1,      // tables built; free codes decode as kOpInvalid
  kCodesOverSubscribed = 2,  // nothing built
};

// Builds the tables for `n` code lengths (0: no code, at most kMaxCodeBits)
// into `table`, which holds CodeTableCapacity(rootBits, n) entries. Symbols
// below `s` are simple (literal, or end of block for 256); symbol v >= s
// takes bases[v - s] and extraBits[v - s], and a symbol past `baseCount`
// decodes as invalid. With no code at all every entry of the root is
// invalid.
CodeTableStatus BuildCodeTables(const uint16_t* lengths, unsigned n, unsigned s,
                                const uint16_t* bases, const uint8_t* extraBits, unsigned baseCount,
                                int rootBits, CodeTableEntry* table);

}  // namespace ebook
