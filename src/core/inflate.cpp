// Inflate (RFC 1951) over an EntryStream.
//
// Design, chosen for speed without changing what can be observed:
// - The bit buffer is a machine word. While at least a word of input is
//   buffered it is refilled a word at a time; near the end of a buffered
//   chunk it is refilled byte by byte, reading the next chunk of the entry
//   when needed. Past the end of the entry's data one-bits are appended and
//   counted (`padded`): looking at them is harmless, but consuming one ends
//   the entry as bad data, so damaged input can never produce output without
//   bound (each two consumed bits yield at most 258 bytes).
// - The window holds 32 KiB of history followed by four 32 KiB pieces being
//   produced. Copies never wrap, and a copy may overshoot the pieces into
//   slack; when they are full they are written one by one, then the last
//   32 KiB is moved down to become the history. Every write is therefore
//   exactly 32 KiB but the last.
// - Copies from before the entry's first byte are bad data rather than
//   whatever the buffer held.
// - The code tables live in the decoder's state: one-word entries, roots
//   wide enough for nearly every code, lengths and distances with their
//   extra bits resolved where they fit (see code_tables.h).
#include "inflate.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "code_tables.h"
#include "hot_code.h"

namespace ebook {
namespace {

using BitWord = size_t;
constexpr unsigned kWordBits = sizeof(BitWord) * 8;

constexpr int32_t kHistorySize = 32768;
// Output is written in pieces of 32 KiB, but the window holds four of them
// before the history is moved down: the move then costs a quarter as much.
constexpr int32_t kPieceSize = 32768;
constexpr int32_t kPieceEnd = kHistorySize + 4 * kPieceSize;
// A copy starts below kPieceEnd, is at most 258 long and may write 15 bytes
// beyond its end.
constexpr int32_t kWindowSize = kPieceEnd + 258 + 16;
// Word refills may read a word starting at any byte before the chunk's end.
constexpr int32_t kInputSize = kChunkSize + 16;

// RFC 1951, 3.2.5: length symbols 257..285; 286 and 287 take part in the
// code but have no base, so they decode as invalid.
constexpr uint16_t kLengthBases[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                       15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                       67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
// Distance codes 0..29; codes 30 and 31 have no entry and decode as invalid.
constexpr uint16_t kDistanceBases[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// Root widths of the literal/length and distance tables. Nearly every code
// of a real stream fits them, so the fast loop rarely follows a link, and
// the literal/length table's 8 KiB stays in the first-level cache.
constexpr int kLiteralRootBits = 11;
constexpr int kDistanceRootBits = 8;
// Code-length codes are at most 7 bits long: their root holds them all.
constexpr int kCodeLengthRootBits = 7;

constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                          11, 4,  12, 3, 13, 2, 14, 1, 15};

// The stub is built for size, but nearly all of an install's time is spent
// in the decoder's fast loop: that one function is compiled for speed
// (EBOOK_HOT), with its helpers forced inline (a call per code and per refill
// costs more than the decoding itself).
#define EBOOK_ALWAYS_INLINE inline __attribute__((always_inline))

enum class Status { kOk, kBadData, kWriteFailed };

// The input side. Invariant: bits at and above `count` are either zero or
// the low bits of *in (a word refill loads them early), so OR-ing that byte
// in again is harmless.
struct BitReader {
  const uint8_t* in;
  const uint8_t* inEnd;
  BitWord buffer;
  unsigned count;
  unsigned padded;  // one-bits appended past the end of the entry's data
};

struct InflateState {
  EntryStream* stream;
  BitReader bits;
  // Output: window[0, kHistorySize) is history, the pieces being produced
  // run from kHistorySize to `out`; bytes below `historyStart` were never
  // produced by this entry.
  uint8_t* out;
  uint8_t* historyStart;
  // The codes of the block being decoded, fixed or dynamic.
  CodeTableEntry literals[CodeTableCapacity(kLiteralRootBits, 288)];
  CodeTableEntry distances[CodeTableCapacity(kDistanceRootBits, 32)];
  CodeTableEntry codeLengths[1 << kCodeLengthRootBits];
  uint8_t input[kInputSize];
  uint8_t window[kWindowSize];
};

// On i686 the decoder's state lies at an address fixed when the program is
// linked, so that the fast loop reaches the tables without a register for
// them: i686 has too few, and this one is worth 5-10% there. The stub
// decodes one entry at a time; elsewhere the first decoder of a process
// takes it and any other one at the same time allocates its own.
#if defined(__GNUC__) && defined(__i386__)
#define EBOOK_LINKED_STATE 1
InflateState g_linkedState;
#ifndef EBOOK_COMPACT
std::atomic<bool> g_linkedStateBusy{false};
#endif
#else
#define EBOOK_LINKED_STATE 0
#endif

EBOOK_ALWAYS_INLINE BitWord LoadWord(const uint8_t* p) {
  BitWord w;
  std::memcpy(&w, p, sizeof w);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  w = sizeof w == 8 ? __builtin_bswap64(w) : __builtin_bswap32(w);
#endif
  return w;
}

EBOOK_ALWAYS_INLINE BitWord LowBits(BitWord v, unsigned n) { return v & ((BitWord{1} << n) - 1); }

// Tops the bit buffer up byte by byte, reading the entry's next chunk when
// the buffered one is used up and appending one-bits once the data is over.
__attribute__((noinline)) void RefillSlowly(InflateState& s) {
  BitReader& b = s.bits;
  while (b.count <= kWordBits - 8) {
    BitWord byte;
    if (b.in != b.inEnd) {
      byte = *b.in++;
    } else {
      int32_t got = s.stream->ReadData(s.input, kChunkSize);
      if (got > 0) {
        b.in = s.input;
        b.inEnd = s.input + got;
        continue;
      }
      byte = 0xFF;
      b.padded += 8;
    }
    b.buffer |= byte << b.count;
    b.count += 8;
  }
}

// A word refill, for callers that have made sure a word of input is there.
inline void RefillFast(BitReader& b) {
  unsigned bytes = (kWordBits - 1 - b.count) / 8;
  b.buffer |= LoadWord(b.in) << b.count;
  b.in += bytes;
  b.count += bytes * 8;
}

// Leaves at least kWordBits - 8 bits in the buffer. The hot loops keep their
// reader in a local copy (a byte store through the output pointer could
// otherwise alias it), so the slow path syncs it through the state.
inline void Refill(InflateState& s, BitReader& b) {
  if (b.inEnd - b.in >= static_cast<ptrdiff_t>(sizeof(BitWord))) {
    RefillFast(b);
  } else {
    s.bits = b;
    RefillSlowly(s);
    b = s.bits;
  }
}

inline void Need(InflateState& s, BitReader& b, unsigned n) {
  if (b.count < n) Refill(s, b);
}

inline void Drop(BitReader& b, unsigned n) {
  b.buffer >>= n;
  b.count -= n;
}

inline unsigned ReadBits(InflateState& s, unsigned n) {
  Need(s, s.bits, n);
  unsigned v = static_cast<unsigned>(LowBits(s.bits.buffer, n));
  Drop(s.bits, n);
  return v;
}

// True once a bit beyond the entry's data has been consumed.
inline bool Overrun(const BitReader& b) { return b.count < b.padded; }

// Writes window[kHistorySize, end) in pieces of 32 KiB, the last one
// shorter.
bool WritePieces(InflateState& s, const uint8_t* end) {
  for (uint8_t* piece = s.window + kHistorySize; piece < end; piece += kPieceSize) {
    int32_t n = end - piece < kPieceSize ? static_cast<int32_t>(end - piece) : kPieceSize;
    if (!s.stream->WriteData(piece, n)) return false;
  }
  return true;
}

// Writes the full pieces and moves the last 32 KiB down to serve as history.
// The overshoot of the last copy moves along as the start of the next piece.
Status FlushPiece(InflateState& s) {
  uint8_t* const end = s.window + kPieceEnd;
  if (!WritePieces(s, end)) return Status::kWriteFailed;
  std::memmove(s.window, end - kHistorySize, static_cast<size_t>(s.out - (end - kHistorySize)));
  s.out -= kPieceEnd - kHistorySize;
  s.historyStart = s.window;
  return Status::kOk;
}

inline void CopyMatch(uint8_t* dst, unsigned distance, unsigned length) {
  const uint8_t* src = dst - distance;
  uint8_t* end = dst + length;
  if (distance >= 8) {
    // Each word read lies entirely in bytes already written; the last word
    // may run past the match into slack that later output overwrites.
    do {
      std::memcpy(dst, src, 8);
      dst += 8;
      src += 8;
    } while (dst < end);
  } else if (distance == 1) {
    std::memset(dst, *src, length);
  } else {
    // An overlapping copy repeats the last `distance` bytes as a pattern.
    do *dst++ = *src++;
    while (dst < end);
  }
}

// The entry of the code at the bit buffer's start: from the root, through a
// link if there is one (dropping the root's bits). The caller has made sure
// the bit buffer holds the 15 bits a code can look at.
inline CodeTableEntry LookUpCode(BitReader& b, const CodeTableEntry* table, unsigned rootBits) {
  CodeTableEntry e = table[LowBits(b.buffer, rootBits)];
  if (IsLink(e)) {
    Drop(b, EntryBits(e));
    e = table[EntryValue(e) + LowBits(b.buffer, LinkBits(e))];
  }
  return e;
}

// The value of a length or distance entry with its extra bits, which are
// dropped with its code; the caller has made sure the bit buffer holds them.
inline unsigned TakeLengthOrDistance(BitReader& b, CodeTableEntry e) {
  const unsigned bits = EntryBits(e);
  const unsigned value =
      EntryValue(e) + static_cast<unsigned>(LowBits(b.buffer, bits) >> EntryOp(e));
  Drop(b, bits);
  return value;
}

// Bits a whole literal/length symbol needs: on 64-bit words a refill also
// covers the distance (15 + 5 + 15 + 13 = 48 bits consumed, 16 looked at).
constexpr unsigned kSymbolBits = kWordBits >= 64 ? 48 : 21;
// The fast loop refills at most four times per symbol on 32-bit words, twice
// on 64-bit ones, each refill reading a word and consuming at most word - 1
// bytes.
constexpr ptrdiff_t kFastInputMargin = 32;

EBOOK_ALWAYS_INLINE void Store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
EBOOK_ALWAYS_INLINE uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
EBOOK_ALWAYS_INLINE void Store64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
EBOOK_ALWAYS_INLINE uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Copies a match inside the window. Each word read lies entirely in bytes
// already written (distance >= the word); the last step may run up to 15
// bytes past the match into slack that later output overwrites. On 32-bit
// words eight bytes are moved as two 4-byte moves on purpose: an 8-byte
// memcpy becomes a string instruction on i686.
EBOOK_ALWAYS_INLINE void CopyMatchFast(uint8_t* dst, unsigned distance, unsigned length) {
  const uint8_t* src = dst - distance;
  uint8_t* const end = dst + length;
  if (kWordBits >= 64 && distance >= 8) {
    // Sixteen bytes a step: the second word read starts 8 bytes on, and the
    // first store has written everything up to its end.
    do {
      Store64(dst, Load64(src));
      Store64(dst + 8, Load64(src + 8));
      dst += 16;
      src += 16;
    } while (dst < end);
  } else if (kWordBits >= 64 && distance == 1) {
    const uint64_t v = *src * 0x0101010101010101u;
    do {
      Store64(dst, v);
      Store64(dst + 8, v);
      dst += 16;
    } while (dst < end);
  } else if (distance >= 8) {
    do {
      Store32(dst, Load32(src));
      Store32(dst + 4, Load32(src + 4));
      dst += 8;
      src += 8;
    } while (dst < end);
  } else if (distance >= 4) {
    do {
      Store32(dst, Load32(src));
      dst += 4;
      src += 4;
    } while (dst < end);
  } else if (distance == 1) {
    // A run of one byte, written a word at a time.
    const uint32_t v = *src * 0x01010101u;
    do {
      Store32(dst, v);
      Store32(dst + 4, v);
      dst += 8;
    } while (dst < end);
  } else {
    // Distance 2 or 3: a word of the pattern, stored every 4 or 3 bytes (a
    // whole number of periods), each store overlapping the last.
    const bool two = distance == 2;
    const uint32_t v = src[0] | src[1] << 8 | src[two ? 0 : 2] << 16 |
                       static_cast<uint32_t>(src[two ? 1 : 0]) << 24;
    const unsigned step = 4 - (distance & 1);
    do {
      Store32(dst, v);
      dst += step;
    } while (dst < end);
  }
}

// What the fast loop takes without a refill. After a refill at least word - 8
// bits are there, and all of the word's bits are the stream's: on 32-bit
// words two root literals and the root lookup after them, or a length with
// its extra bits (at most 15 + 5); on 64-bit words three root literals and
// the lookup after them, or a length and then, after the refill before it,
// a distance with its extra bits (at most 15 + 13) and the next lookup.
static_assert(kWordBits >= 64 || (kWordBits - 8) >= 2 * kLiteralRootBits, "");
static_assert(kWordBits >= 64 || (kWordBits - 8) >= 15 + 5, "");
static_assert(kWordBits < 64 || (kWordBits - 8) - 3 * kLiteralRootBits >= kLiteralRootBits, "");
static_assert(kWordBits < 64 || (kWordBits - 8) - (15 + 13) >= kLiteralRootBits, "");
static_assert(kWordBits - (kWordBits >= 64 ? 2 * kLiteralRootBits + 20 : 20) >= kDistanceRootBits,
              "");
// A literal/length entry is a literal when this bit (the top of its Op) is
// set.
constexpr uint32_t kLiteralFlag = uint32_t{kOpLiteral} << 8;

enum class FastEnd { kCareful, kEndOfBlock, kBadData };

// Decodes symbols while a whole symbol's input and a whole match's output are
// surely there, so none of the careful path's checks are needed; stops at
// the end of the block, on damage, or when the careful path must take over.
// The reader's state lives in locals here (registers, not memory).
template <bool kLinked>
EBOOK_HOT EBOOK_ALWAYS_INLINE FastEnd DecodeFastLoop(InflateState& given) {
#if EBOOK_LINKED_STATE
  InflateState& s = kLinked ? g_linkedState : given;
#else
  InflateState& s = given;
#endif
  const CodeTableEntry* const literalTable = s.literals;
  const CodeTableEntry* const distanceTable = s.distances;
  // Fixed widths, so that the masks are immediates rather than registers.
  constexpr BitWord literalMask = (BitWord{1} << kLiteralRootBits) - 1;
  constexpr BitWord distanceMask = (BitWord{1} << kDistanceRootBits) - 1;
  uint8_t* const outLimit = s.window + kPieceEnd - 258;
  const uint8_t* const historyStart = s.historyStart;
  const uint8_t* in = s.bits.in;
  const uint8_t* const inLimit =
      s.bits.inEnd - s.input > kFastInputMargin ? s.bits.inEnd - kFastInputMargin : s.input;
  BitWord buffer = s.bits.buffer;
  unsigned count = s.bits.count;
  uint8_t* out = s.out;
  FastEnd end = FastEnd::kCareful;

  // Only the low byte of `count` is the bit count: a code's bits are
  // dropped by subtracting its whole entry word (Bits is the low byte, and
  // never more than the count), which saves isolating them. The count is
  // below the word's width, so masking it with width - 1 isolates it too,
  // and x86 shifts do that masking themselves.
#define EBOOK_COUNT() (count & (kWordBits - 1))
  // Tops the buffer up to at least word - 8 bits without a branch: the bytes
  // taken are those that fit whole; the bits loaded above the count are the
  // low bits of the new *in, as the reader's invariant wants.
#define EBOOK_REFILL()                       \
  do {                                       \
    buffer |= LoadWord(in) << EBOOK_COUNT(); \
    in += (~count & (kWordBits - 1)) >> 3;   \
    count |= kWordBits - 8;                  \
  } while (0)
  // Drops the bits of entry word w: its code's, and a length's or a
  // distance's extra bits.
#define EBOOK_DROP_ENTRY(w)           \
  do {                                \
    buffer >>= (w) & (kWordBits - 1); \
    count -= (w);                     \
  } while (0)
  // The value of a length or distance entry, right after its drop: its base
  // plus the extra bits after its code. The bits dropped are the buffer
  // before the drop without the buffer after it shifted back, which takes
  // no mask (and no register for one).
#define EBOOK_VALUE(w, before) \
  (EntryValue(w) +             \
   static_cast<unsigned>(((before) ^ (buffer << ((w) & (kWordBits - 1)))) >> EntryOp(w)))

  if (in >= inLimit || out >= outLimit) goto leave;
  EBOOK_REFILL();
  uint32_t w;
  w = literalTable[buffer & literalMask];
  // Each round starts with the entry of the next code in w.
  for (;;) {
    // Literals come in runs, and a root entry's code is at most 11 bits: a
    // refill leaves room for two of them (three on 64-bit words) and the
    // lookup after them, so only the first lookup of a round needs a refill.
    while (w & kLiteralFlag) {
      EBOOK_DROP_ENTRY(w);
      *out++ = static_cast<uint8_t>(EntryValue(w));
      w = literalTable[buffer & literalMask];
      if (!(w & kLiteralFlag)) {
        // On 32-bit words only 24 - 11 bits may be left, fewer than a
        // length takes: the refill leaves the bits w was looked up by.
        if (kWordBits < 64) EBOOK_REFILL();
        break;
      }
      EBOOK_DROP_ENTRY(w);
      *out++ = static_cast<uint8_t>(EntryValue(w));
      if (kWordBits >= 64) {
        w = literalTable[buffer & literalMask];
        if (!(w & kLiteralFlag)) break;
        EBOOK_DROP_ENTRY(w);
        *out++ = static_cast<uint8_t>(EntryValue(w));
      }
      if (in >= inLimit || out >= outLimit) goto leave;
      if (kWordBits >= 64) {
        // At least 56 - 33 bits are left: the next entry is fetched first,
        // and the refill (which leaves those bits as they are) overlaps it.
        w = literalTable[buffer & literalMask];
        EBOOK_REFILL();
      } else {
        EBOOK_REFILL();
        w = literalTable[buffer & literalMask];
      }
    }
    // A length, the end of the block, or a longer code through a link: at
    // least 56 - 22 bits are left on 64-bit words, 24 on 32-bit ones, enough
    // for any literal/length code with its extra bits (at most 15 + 5).
    if (IsLink(w)) {
      EBOOK_DROP_ENTRY(w);
      w = literalTable[EntryValue(w) + LowBits(buffer, LinkBits(w))];
    }
    if (w & kLiteralFlag) {
      EBOOK_DROP_ENTRY(w);
      *out++ = static_cast<uint8_t>(EntryValue(w));
      // On 64-bit words at least 56 - 22 - 15 bits are left for the next
      // entry.
      if (kWordBits >= 64) w = literalTable[buffer & literalMask];
    } else if (EntryOp(w) >= kOpLink) {
      if (EntryOp(w) != kOpEndOfBlock) goto bad;
      EBOOK_DROP_ENTRY(w);
      end = FastEnd::kEndOfBlock;
      goto leave;
    } else {
      BitWord before = buffer;
      EBOOK_DROP_ENTRY(w);
      const unsigned length = EBOOK_VALUE(w, before);
      // The distance's root entry is looked up first and the refill for its
      // up to 15 + 13 bits overlaps the load: a refill leaves all of the
      // word's bits the stream's, and at most 20 of them (42 on 64-bit
      // words) went since the last one, so the bits the lookup looks at are
      // there. On 32-bit words a long code's extra bits may need one more
      // refill.
      w = distanceTable[buffer & distanceMask];
      EBOOK_REFILL();
      if (EntryOp(w) >= kOpLink) {
        if (EntryOp(w) >= kOpEndOfBlock) goto bad;
        EBOOK_DROP_ENTRY(w);
        w = distanceTable[EntryValue(w) + LowBits(buffer, LinkBits(w))];
        if (EntryOp(w) >= kOpLink) goto bad;
        if (kWordBits < 64 && EBOOK_COUNT() < EntryBits(w)) EBOOK_REFILL();
      }
      before = buffer;
      EBOOK_DROP_ENTRY(w);
      const unsigned distance = EBOOK_VALUE(w, before);
      if (distance > static_cast<unsigned>(out - historyStart)) goto bad;
      // On 64-bit words at least 56 - 28 bits are left: the next entry's
      // load overlaps the copy.
      if (kWordBits >= 64) w = literalTable[buffer & literalMask];
      CopyMatchFast(out, distance, length);
      out += length;
    }
    if (in >= inLimit || out >= outLimit) goto leave;
    EBOOK_REFILL();
    if (kWordBits < 64) w = literalTable[buffer & literalMask];
  }
  if (false) {
  bad:
    end = FastEnd::kBadData;
  }
leave:
  s.bits.count = EBOOK_COUNT();
#undef EBOOK_COUNT
#undef EBOOK_REFILL
#undef EBOOK_DROP_ENTRY
#undef EBOOK_VALUE
  s.bits.in = in;
  s.bits.buffer = buffer;
  s.out = out;
  return end;
}

template <bool kLinked>
EBOOK_HOT __attribute__((noinline)) FastEnd DecodeFast(InflateState& s) {
  return DecodeFastLoop<kLinked>(s);
}

// The library's x86-64 build has a second fast loop for processors with
// BMI2, whose shifts by a register leave the flags alone and take any
// register for the count: about 3% natively. The stub stays without it.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(EBOOK_COMPACT)
#define EBOOK_BMI2_LOOP 1
EBOOK_HOT __attribute__((noinline, target("bmi2"))) FastEnd DecodeFastBmi2(InflateState& s) {
  return DecodeFastLoop<false>(s);
}

bool HasBmi2() {
  static const bool has = __builtin_cpu_supports("bmi2");
  return has;
}
#else
#define EBOOK_BMI2_LOOP 0
#endif

// Decodes literal/length and distance codes up to the end of the block.
Status DecodeSymbols(InflateState& s) {
  uint8_t* const pieceEnd = s.window + kPieceEnd;
  BitReader& b = s.bits;
  for (;;) {
    // The fast loop needs no input past the entry's data.
    if (b.padded == 0) {
#if EBOOK_LINKED_STATE && defined(EBOOK_COMPACT)
      FastEnd end = DecodeFast<true>(s);
#elif EBOOK_LINKED_STATE
      FastEnd end = &s == &g_linkedState ? DecodeFast<true>(s) : DecodeFast<false>(s);
#elif EBOOK_BMI2_LOOP
      FastEnd end = HasBmi2() ? DecodeFastBmi2(s) : DecodeFast<false>(s);
#else
      FastEnd end = DecodeFast<false>(s);
#endif
      if (end == FastEnd::kEndOfBlock) return Status::kOk;
      if (end == FastEnd::kBadData) return Status::kBadData;
    }

    // Careful path: one symbol, with every check in place.
    Need(s, b, kSymbolBits);
    CodeTableEntry e = LookUpCode(b, s.literals, kLiteralRootBits);
    if (e & kLiteralFlag) {
      Drop(b, EntryBits(e));
      if (Overrun(b)) break;
      *s.out++ = static_cast<uint8_t>(EntryValue(e));
    } else if (EntryOp(e) >= kOpLink) {
      if (EntryOp(e) != kOpEndOfBlock) break;
      Drop(b, EntryBits(e));
      return Overrun(b) ? Status::kBadData : Status::kOk;
    } else {
      const unsigned length = TakeLengthOrDistance(b, e);
      if (kWordBits < 64) Need(s, b, 16);
      e = LookUpCode(b, s.distances, kDistanceRootBits);
      if (EntryOp(e) >= kOpLink) break;
      if (kWordBits < 64) Need(s, b, EntryBits(e));
      const unsigned distance = TakeLengthOrDistance(b, e);
      if (Overrun(b)) break;
      if (distance > static_cast<unsigned>(s.out - s.historyStart)) break;
      CopyMatch(s.out, distance, length);
      s.out += length;
    }
    if (s.out >= pieceEnd) {
      Status status = FlushPiece(s);
      if (status != Status::kOk) return status;
    }
  }
  return Status::kBadData;
}

Status CopyStoredBlock(InflateState& s) {
  BitReader& b = s.bits;
  Drop(b, b.count & 7);
  unsigned length = ReadBits(s, 16);
  unsigned check = ReadBits(s, 16);
  if (Overrun(b) || length != (~check & 0xFFFF)) return Status::kBadData;

  uint8_t* const pieceEnd = s.window + kPieceEnd;
  // Whole bytes still in the bit buffer come first...
  while (length != 0 && b.count >= 8) {
    if (b.count - 8 < b.padded) return Status::kBadData;
    *s.out++ = static_cast<uint8_t>(b.buffer);
    Drop(b, 8);
    --length;
    if (s.out >= pieceEnd) {
      Status st = FlushPiece(s);
      if (st != Status::kOk) return st;
    }
  }
  if (length == 0) return Status::kOk;
  // ...then the rest straight from the input, chunk by chunk. The buffer is
  // empty here, so the early-loaded bits of *in must go.
  b.buffer = 0;
  while (length != 0) {
    if (b.in == b.inEnd) {
      int32_t got = s.stream->ReadData(s.input, kChunkSize);
      if (got <= 0) return Status::kBadData;
      b.in = s.input;
      b.inEnd = s.input + got;
    }
    size_t n = length;
    if (n > static_cast<size_t>(b.inEnd - b.in)) n = static_cast<size_t>(b.inEnd - b.in);
    if (n > static_cast<size_t>(pieceEnd - s.out)) n = static_cast<size_t>(pieceEnd - s.out);
    std::memcpy(s.out, b.in, n);
    s.out += n;
    b.in += n;
    length -= static_cast<unsigned>(n);
    if (s.out >= pieceEnd) {
      Status st = FlushPiece(s);
      if (st != Status::kOk) return st;
    }
  }
  return Status::kOk;
}

Status DecodeFixedBlock(InflateState& s) {
  // Built for each fixed block, into the tables dynamic blocks use, so that
  // the decoder always reads the same tables (in the stub at addresses
  // fixed when it is linked); a few thousand stores per block.
  uint16_t lengths[288];
  int v = 0;
  for (; v < 144; ++v) lengths[v] = 8;
  for (; v < 256; ++v) lengths[v] = 9;
  for (; v < 280; ++v) lengths[v] = 7;
  for (; v < 288; ++v) lengths[v] = 8;
  BuildCodeTables(lengths, 288, 257, kLengthBases, kLengthExtra, 29, kLiteralRootBits, s.literals);
  for (v = 0; v < 30; ++v) lengths[v] = 5;
  // 30 of the 32 five-bit codes: incomplete, and codes 30 and 31 invalid.
  BuildCodeTables(lengths, 30, 0, kDistanceBases, kDistanceExtra, 30, kDistanceRootBits,
                  s.distances);
  return DecodeSymbols(s);
}

Status DecodeDynamicBlock(InflateState& s) {
  const unsigned literalCount = 257 + ReadBits(s, 5);
  const unsigned distanceCount = 1 + ReadBits(s, 5);
  const unsigned codeLengthCount = 4 + ReadBits(s, 4);

  uint16_t lengths[320] = {};
  for (unsigned k = 0; k < codeLengthCount; ++k) {
    lengths[kCodeLengthOrder[k]] = static_cast<uint16_t>(ReadBits(s, 3));
  }
  if (BuildCodeTables(lengths, 19, 19, nullptr, nullptr, 0, kCodeLengthRootBits, s.codeLengths) !=
      kCodesComplete) {
    return Status::kBadData;
  }

  // Codes of at most 7 bits in a root that covers them: one lookup each.
  const unsigned total = literalCount + distanceCount;
  unsigned k = 0;
  unsigned previous = 0;
  bool bad = false;
  while (k < total) {
    Need(s, s.bits, 16);  // the code and up to 7 extra bits
    const CodeTableEntry e = s.codeLengths[LowBits(s.bits.buffer, kCodeLengthRootBits)];
    if (EntryOp(e) == kOpInvalid) {
      bad = true;
      break;
    }
    Drop(s.bits, EntryBits(e));
    unsigned symbol = EntryValue(e);
    if (symbol < 16) {
      lengths[k++] = static_cast<uint16_t>(symbol);
      previous = symbol;
      continue;
    }
    unsigned repeat;
    unsigned value = 0;
    if (symbol == 16) {
      repeat = 3 + ReadBits(s, 2);
      value = previous;
    } else if (symbol == 17) {
      repeat = 3 + ReadBits(s, 3);
    } else {
      repeat = 11 + ReadBits(s, 7);
    }
    if (repeat > total - k) {
      bad = true;
      break;
    }
    while (repeat-- != 0) lengths[k++] = static_cast<uint16_t>(value);
    previous = value;
  }
  if (bad || Overrun(s.bits)) return Status::kBadData;

  // An incomplete literal/length code is damage; an incomplete distance
  // code is allowed, its free codes decoding as invalid.
  if (BuildCodeTables(lengths, literalCount, 257, kLengthBases, kLengthExtra, 29, kLiteralRootBits,
                      s.literals) != kCodesComplete ||
      BuildCodeTables(lengths + literalCount, distanceCount, 0, kDistanceBases, kDistanceExtra, 30,
                      kDistanceRootBits, s.distances) == kCodesOverSubscribed) {
    return Status::kBadData;
  }
  return DecodeSymbols(s);
}

Status DecodeBlocks(InflateState& s) {
  for (;;) {
    const unsigned header = ReadBits(s, 3);
    if (Overrun(s.bits)) return Status::kBadData;
    Status st;
    switch (header >> 1) {
      case 0:
        st = CopyStoredBlock(s);
        break;
      case 1:
        st = DecodeFixedBlock(s);
        break;
      case 2:
        st = DecodeDynamicBlock(s);
        break;
      default:
        return Status::kBadData;  // reserved block type
    }
    if (st != Status::kOk) return st;
    if (header & 1) return Status::kOk;
  }
}

// The state for one entry: on i686 the one at the linked address when it is
// free (in the stub always), otherwise one of its own.
InflateState* AcquireState() {
#if EBOOK_LINKED_STATE && defined(EBOOK_COMPACT)
  return &g_linkedState;
#else
#if EBOOK_LINKED_STATE
  if (!g_linkedStateBusy.exchange(true, std::memory_order_acquire)) return &g_linkedState;
#endif
  auto* s = static_cast<InflateState*>(std::malloc(sizeof(InflateState)));
  if (s == nullptr) std::abort();  // nothing sensible is left to do
  return s;
#endif
}

void ReleaseState(InflateState* s) {
#if EBOOK_LINKED_STATE
  if (s == &g_linkedState) {
#ifndef EBOOK_COMPACT
    g_linkedStateBusy.store(false, std::memory_order_release);
#endif
    return;
  }
#endif
  std::free(s);
}

}  // namespace

InflateResult InflateEntry(EntryStream& stream) {
  InflateState* const s = AcquireState();
  s->stream = &stream;
  // Field by field: for the state at a linked address GCC would make the
  // whole record a relocated constant in a data section of its own.
  s->bits.in = s->bits.inEnd = s->input;
  s->bits.buffer = 0;
  s->bits.count = s->bits.padded = 0;
  s->out = s->historyStart = s->window + kHistorySize;

  Status st = DecodeBlocks(*s);
  // What was produced before damage is written too; after a failed write
  // nothing more is tried.
  if (st != Status::kWriteFailed) {
    if (!WritePieces(*s, s->out)) st = Status::kWriteFailed;
  }
  ReleaseState(s);

  switch (st) {
    case Status::kOk:
      return InflateResult::kDone;
    case Status::kBadData:
      return InflateResult::kBadData;
    default:
      return InflateResult::kWriteFailed;
  }
}

}  // namespace ebook
