// Decoding-table builder for canonical Huffman codes (RFC 1951, 3.2.2).
//
// Codes are generated in canonical order from a running code `code` kept
// bit-reversed, so it is at the same time the index of the code in a table
// indexed by the low bits of the bit buffer. A code longer than the root
// goes to the sub-table of its first `rootBits` bits; that sub-table is
// opened when the first code of its prefix comes, as wide as the codes from
// there on can fill (all of them for a complete set, whose codes of one
// prefix come in a row), and free entries of an incomplete set stay
// invalid.
#include "code_tables.h"

namespace ebook {
namespace {

constexpr CodeTableEntry kInvalidEntry = CodeTableEntry{kOpInvalid} << 8 | 1;

void FillInvalid(CodeTableEntry* table, unsigned size) {
  for (unsigned k = 0; k < size; ++k) table[k] = kInvalidEntry;
}

// Writes the entries of one code of `length` bits at this level that starts
// at `index` in a table of `width` bits: every index whose low bits are the
// code. `op` is the entry's kind, or for a length or distance its extra
// bits' count.
void PlaceCode(CodeTableEntry* table, int width, unsigned index, int length, unsigned op,
               unsigned value) {
  const unsigned size = 1u << width;
  const unsigned step = 1u << length;
  if (op >= kOpLink) {
    for (unsigned k = index; k < size; k += step)
      table[k] = value << 16 | op << 8 | static_cast<unsigned>(length);
    return;
  }
  const unsigned total = static_cast<unsigned>(length) + op;
  if (total <= static_cast<unsigned>(width)) {
    // The index holds the extra bits too: resolve them here.
    for (unsigned k = index; k < size; k += step)
      table[k] = (value + ((k >> length) & ((1u << op) - 1))) << 16 | total << 8 | total;
  } else {
    for (unsigned k = index; k < size; k += step)
      table[k] = value << 16 | static_cast<unsigned>(length) << 8 | total;
  }
}

}  // namespace

CodeTableStatus BuildCodeTables(const uint16_t* lengths, unsigned n, unsigned s,
                                const uint16_t* bases, const uint8_t* extraBits, unsigned baseCount,
                                int rootBits, CodeTableEntry* table) {
  unsigned count[kMaxCodeBits + 1] = {};
  for (unsigned v = 0; v < n; ++v) {
    if (lengths[v] > kMaxCodeBits) return kCodesOverSubscribed;
    ++count[lengths[v]];
  }
  // The Kraft sum, as the codes still free at the longest length.
  int free = 1;
  int longest = 0;
  for (int len = 1; len <= kMaxCodeBits; ++len) {
    free = 2 * free - static_cast<int>(count[len]);
    if (free < 0) return kCodesOverSubscribed;
    if (count[len] != 0) longest = len;
  }

  const unsigned rootSize = 1u << rootBits;
  FillInvalid(table, rootSize);
  if (longest == 0) return kCodesComplete;  // no code at all

  // Used symbols by length, and by value within one length.
  uint16_t symbols[320];
  unsigned offsets[kMaxCodeBits + 2];
  offsets[1] = 0;
  for (int len = 1; len <= kMaxCodeBits; ++len) offsets[len + 1] = offsets[len] + count[len];
  if (offsets[kMaxCodeBits + 1] > 320) return kCodesOverSubscribed;  // more than any Deflate code
  const unsigned used = offsets[kMaxCodeBits + 1];
  for (unsigned v = 0; v < n; ++v) {
    if (lengths[v] != 0) symbols[offsets[lengths[v]]++] = static_cast<uint16_t>(v);
  }

  unsigned code = 0;
  unsigned next = rootSize;       // where the next sub-table goes
  unsigned subPrefix = rootSize;  // root index of the open sub-table (none yet)
  CodeTableEntry* sub = nullptr;
  int subBits = 0;
  for (unsigned k = 0; k < used; ++k) {
    const unsigned v = symbols[k];
    const int len = lengths[v];
    unsigned op = kOpInvalid;
    unsigned value = 0;
    if (v < s) {
      op = v == 256 ? kOpEndOfBlock : kOpLiteral;
      value = v;
    } else if (v - s < baseCount) {
      op = extraBits[v - s];
      value = bases[v - s];
    }
    if (len <= rootBits) {
      PlaceCode(table, rootBits, code, len, op, value);
    } else {
      const unsigned prefix = code & (rootSize - 1);
      if (prefix != subPrefix) {
        // The narrowest width the codes from here on fill, counting this
        // one; an incomplete set's last sub-table may stay partly free.
        int width = len - rootBits;
        int space = 1 << width;
        while (width + rootBits < longest) {
          space -= static_cast<int>(count[width + rootBits]);
          if (space <= 0) break;
          ++width;
          space *= 2;
        }
        sub = table + next;
        subBits = width;
        FillInvalid(sub, 1u << width);
        table[prefix] = next << 16 | (kOpLink + static_cast<unsigned>(width)) << 8 |
                        static_cast<unsigned>(rootBits);
        next += 1u << width;
        subPrefix = prefix;
      }
      PlaceCode(sub, subBits, code >> rootBits, len - rootBits, op, value);
    }
    --count[len];

    // Next code, bit-reversed: add 1 at bit len-1 with the carry running
    // towards bit 0.
    unsigned bit = 1u << (len - 1);
    while (code & bit) {
      code ^= bit;
      bit >>= 1;
    }
    code ^= bit;
  }
  // One code of one bit is complete by RFC 1951's own rule.
  return free != 0 && longest != 1 ? kCodesIncomplete : kCodesComplete;
}

}  // namespace ebook
