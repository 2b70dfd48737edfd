// Hand-made Deflate streams: every field written out, so each case shows the
// one thing it gets wrong (or right).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"

namespace ebook::test {
namespace {

// Packs fields least significant bit first, as Deflate does.
class BitWriter {
 public:
  // A header field or extra bits: low bit first.
  BitWriter& Bits(uint32_t value, int count) {
    for (int i = 0; i < count; ++i) Bit((value >> i) & 1);
    return *this;
  }
  // A Huffman code: its most significant bit goes first.
  BitWriter& Code(uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) Bit((code >> i) & 1);
    return *this;
  }
  // Pads to the next byte boundary with `fill` bits.
  BitWriter& Align(uint32_t fill = 0) {
    while (used_ != 0) Bit(fill);
    return *this;
  }
  BitWriter& Byte(uint8_t b) { return Bits(b, 8); }
  BitWriter& Word(uint16_t v) { return Bits(v, 16); }
  BitWriter& Text(const std::string& s) {
    for (char c : s) Byte(static_cast<uint8_t>(c));
    return *this;
  }
  Bytes Finish() { return Align().out_; }

 private:
  void Bit(uint32_t b) {
    if (used_ == 0) out_.push_back(0);
    out_.back() |= static_cast<uint8_t>(b << used_);
    used_ = (used_ + 1) & 7;
  }
  Bytes out_;
  int used_ = 0;
};

// --- The fixed code --------------------------------------------------------

void FixedSymbol(BitWriter& w, unsigned sym) {
  if (sym < 144)
    w.Code(0x30 + sym, 8);
  else if (sym < 256)
    w.Code(0x190 + sym - 144, 9);
  else if (sym < 280)
    w.Code(sym - 256, 7);
  else
    w.Code(0xC0 + sym - 280, 8);
}

// The symbol of a match length, with its extra bits written after it.
unsigned LengthSymbol(unsigned length, uint32_t* extra, int* extraBits) {
  int i = 28;
  while (kLengthBase[i] > length) --i;
  *extra = length - kLengthBase[i];
  *extraBits = kLengthExtra[i];
  return 257 + i;
}

void FixedText(BitWriter& w, const std::string& s) {
  for (char c : s) FixedSymbol(w, static_cast<uint8_t>(c));
}

void FixedMatch(BitWriter& w, unsigned length, unsigned distance) {
  uint32_t extra;
  int bits;
  FixedSymbol(w, LengthSymbol(length, &extra, &bits));
  w.Bits(extra, bits);
  int d = 29;
  while (kDistBase[d] > distance) --d;
  w.Code(d, 5);                                    // fixed distance code
  w.Bits(distance - kDistBase[d], kDistExtra[d]);  // distance extra bits
}

// The header of a last block with fixed codes.
void FixedHeader(BitWriter& w) {
  w.Bits(1, 1);  // BFINAL
  w.Bits(1, 2);  // BTYPE fixed
}

// A non-last fixed block holding `text`: output that must survive damage in
// the block after it.
void FixedBlock(BitWriter& w, const std::string& text, bool last = false) {
  w.Bits(last, 1);  // BFINAL
  w.Bits(1, 2);     // BTYPE fixed
  FixedText(w, text);
  FixedSymbol(w, 256);  // end of block
}

void StoredBlock(BitWriter& w, const Bytes& data, bool last) {
  w.Bits(last, 1);  // BFINAL
  w.Bits(0, 2);     // BTYPE stored
  w.Align();
  w.Word(static_cast<uint16_t>(data.size()));   // LEN
  w.Word(static_cast<uint16_t>(~data.size()));  // NLEN
  for (uint8_t b : data) w.Byte(b);
}

// --- Dynamic blocks --------------------------------------------------------

// A canonical code from its lengths; Put() writes a symbol.
struct Huffman {
  std::vector<uint16_t> lengths;
  std::vector<uint32_t> codes;
  explicit Huffman(std::vector<uint16_t> lens) : lengths(std::move(lens)) {
    unsigned count[16] = {}, next[16] = {};
    for (uint16_t l : lengths) ++count[l];
    count[0] = 0;
    for (unsigned len = 1, code = 0; len < 16; ++len) {
      code = (code + count[len - 1]) << 1;
      next[len] = code;
    }
    codes.resize(lengths.size());
    for (size_t s = 0; s < lengths.size(); ++s)
      if (lengths[s] != 0) codes[s] = next[lengths[s]]++;
  }
  void Put(BitWriter& w, unsigned sym) const {
    EXPECT_NE(lengths.at(sym), 0) << "the case uses a symbol without a code";
    w.Code(codes[sym], lengths[sym]);
  }
};

// One code-length symbol with its repeat field (16: 2 bits, 17: 3, 18: 7).
struct ClItem {
  unsigned sym;
  uint32_t extra = 0;
};

std::vector<ClItem> PlainLengths(const std::vector<uint16_t>& lit,
                                 const std::vector<uint16_t>& dist) {
  std::vector<ClItem> seq;
  for (uint16_t l : lit) seq.push_back({l});
  for (uint16_t l : dist) seq.push_back({l});
  return seq;
}

std::vector<uint16_t> Lengths(unsigned n, std::initializer_list<std::pair<unsigned, int>> set) {
  std::vector<uint16_t> out(n, 0);
  for (auto [sym, len] : set) out.at(sym) = static_cast<uint16_t>(len);
  return out;
}

// Writes a dynamic block header: HLIT, HDIST, HCLEN, the code-length code
// (a complete code over the symbols `seq` uses) and `seq` itself.
void DynamicHeader(BitWriter& w, bool last, unsigned nl, unsigned nd,
                   const std::vector<ClItem>& seq) {
  static const unsigned kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                      11, 4,  12, 3, 13, 2, 14, 1, 15};
  std::vector<unsigned> used;
  for (const ClItem& c : seq)
    if (std::find(used.begin(), used.end(), c.sym) == used.end()) used.push_back(c.sym);
  if (used.size() == 1) used.push_back(used[0] == 0 ? 1 : 0);
  unsigned k = static_cast<unsigned>(used.size()), d = 0;
  while ((1u << d) < k) ++d;
  std::vector<uint16_t> clLens(19, 0);
  unsigned shorter = (1u << d) - k;  // these take d - 1 bits
  for (unsigned i = 0; i < k; ++i) clLens[used[i]] = static_cast<uint16_t>(i < shorter ? d - 1 : d);
  Huffman cl(clLens);
  unsigned ncl = 19;
  while (ncl > 4 && clLens[kOrder[ncl - 1]] == 0) --ncl;

  w.Bits(last, 1);      // BFINAL
  w.Bits(2, 2);         // BTYPE dynamic
  w.Bits(nl - 257, 5);  // HLIT
  w.Bits(nd - 1, 5);    // HDIST
  w.Bits(ncl - 4, 4);   // HCLEN
  for (unsigned i = 0; i < ncl; ++i) w.Bits(clLens[kOrder[i]], 3);
  for (const ClItem& c : seq) {
    cl.Put(w, c.sym);
    if (c.sym == 16) w.Bits(c.extra, 2);
    if (c.sym == 17) w.Bits(c.extra, 3);
    if (c.sym == 18) w.Bits(c.extra, 7);
  }
}

// The literal/length set most dynamic cases use: 'a', 'b', end of block and
// length 3, two bits each.
std::vector<uint16_t> AbLengths() { return Lengths(258, {{'a', 2}, {'b', 2}, {256, 2}, {257, 2}}); }

// --- The cases -------------------------------------------------------------

Bytes Str(const std::string& s) { return ToBytes(s); }

Bytes Pattern(size_t n) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 7 % 251);
  return out;
}

struct StreamCase {
  const char* name;
  Bytes (*stream)();
  bool good;
  // The whole output of a good stream; for a bad one, what must be written
  // before the damage.
  Bytes (*output)();
};

const StreamCase kCases[] = {
    {"empty stored block keeps alignment, then a fixed block",
     [] {
       BitWriter w;
       StoredBlock(w, {}, false);
       FixedBlock(w, "hi", true);
       return w.Finish();
     },
     true, [] { return Str("hi"); }},

    {"stored block after a fixed block, padding bits set",
     [] {
       BitWriter w;
       FixedBlock(w, "ab");
       w.Bits(1, 1);    // BFINAL
       w.Bits(0, 2);    // BTYPE stored
       w.Align(1);      // padding: its value must not matter
       w.Word(2);       // LEN
       w.Word(0xFFFD);  // NLEN
       w.Text("cd");
       return w.Finish();
     },
     true, [] { return Str("abcd"); }},

    {"stored block whose NLEN is not the complement of LEN",
     [] {
       BitWriter w;
       FixedBlock(w, "ab");
       w.Bits(1, 1);  // BFINAL
       w.Bits(0, 2);  // BTYPE stored
       w.Align();
       w.Word(5);                // LEN
       w.Word(0xFFFA ^ 0x0100);  // NLEN, one bit off
       w.Text("hello");
       return w.Finish();
     },
     false, [] { return Str("ab"); }},

    {"fixed block: literals from each code length group",
     [] {
       BitWriter w;
       FixedHeader(w);  // last block, fixed codes
       FixedText(w, std::string("A\x00\x8F\x90\xFFz", 6));
       FixedSymbol(w, 256);  // end of block
       return w.Finish();
     },
     true, [] { return Str(std::string("A\x00\x8F\x90\xFFz", 6)); }},

    {"copy of length 258 at distance 1",
     [] {
       BitWriter w;
       FixedHeader(w);  // last block, fixed codes
       FixedText(w, "x");
       FixedMatch(w, 258, 1);  // symbol 285, distance code 0
       FixedSymbol(w, 256);
       return w.Finish();
     },
     true, [] { return Str(std::string(259, 'x')); }},

    {"overlapping copy: distance 3, length 10",
     [] {
       BitWriter w;
       FixedHeader(w);  // last block, fixed codes
       FixedText(w, "abc");
       FixedMatch(w, 10, 3);
       FixedSymbol(w, 256);
       return w.Finish();
     },
     true, [] { return Str("abcabcabcabca"); }},

    {"two fixed blocks",
     [] {
       BitWriter w;
       FixedBlock(w, "ab");
       FixedBlock(w, "cd", true);
       return w.Finish();
     },
     true, [] { return Str("abcd"); }},

    {"copy from exactly 32768 bytes back",
     [] {
       BitWriter w;
       StoredBlock(w, Pattern(32768), false);
       FixedHeader(w);             // last block, fixed codes
       FixedMatch(w, 258, 32768);  // distance code 29, extra 8191
       FixedSymbol(w, 256);
       return w.Finish();
     },
     true,
     [] {
       Bytes out = Pattern(32768);
       out.insert(out.end(), out.begin(), out.begin() + 258);
       return out;
     }},

    {"copy from 32768 back after only 32767 bytes",
     [] {
       BitWriter w;
       StoredBlock(w, Pattern(32767), false);
       FixedHeader(w);  // last block, fixed codes
       FixedMatch(w, 258, 32768);
       FixedSymbol(w, 256);
       return w.Finish();
     },
     false, [] { return Pattern(32767); }},

    {"distance reaching before the first byte",
     [] {
       BitWriter w;
       FixedHeader(w);  // last block, fixed codes
       FixedText(w, "a");
       FixedMatch(w, 3, 2);  // only one byte exists
       FixedSymbol(w, 256);
       return w.Finish();
     },
     false, [] { return Str("a"); }},

    {"copy as the first symbol",
     [] {
       BitWriter w;
       FixedHeader(w);  // last block, fixed codes
       FixedMatch(w, 3, 1);
       FixedSymbol(w, 256);
       return w.Finish();
     },
     false, [] { return Str(""); }},

    {"literal/length symbol 286",
     [] {
       BitWriter w;
       FixedHeader(w);  // last block, fixed codes
       FixedText(w, "a");
       FixedSymbol(w, 286);
       FixedSymbol(w, 256);
       return w.Finish();
     },
     false, [] { return Str("a"); }},

    {"literal/length symbol 287",
     [] {
       BitWriter w;
       FixedHeader(w);  // last block, fixed codes
       FixedText(w, "a");
       FixedSymbol(w, 287);
       FixedSymbol(w, 256);
       return w.Finish();
     },
     false, [] { return Str("a"); }},

    {"distance symbol 30",
     [] {
       BitWriter w;
       FixedHeader(w);  // last block, fixed codes
       FixedText(w, "aaaa");
       FixedSymbol(w, 257);  // length 3
       w.Code(30, 5);        // distance symbol 30
       FixedSymbol(w, 256);
       return w.Finish();
     },
     false, [] { return Str("aaaa"); }},

    {"distance symbol 31",
     [] {
       BitWriter w;
       FixedHeader(w);  // last block, fixed codes
       FixedText(w, "aaaa");
       FixedSymbol(w, 257);  // length 3
       w.Code(31, 5);        // distance symbol 31
       FixedSymbol(w, 256);
       return w.Finish();
     },
     false, [] { return Str("aaaa"); }},

    {"block type 3",
     [] {
       BitWriter w;
       FixedBlock(w, "ok");
       w.Bits(1, 1);  // BFINAL
       w.Bits(3, 2);  // BTYPE reserved
       w.Bits(0, 16);
       return w.Finish();
     },
     false, [] { return Str("ok"); }},

    {"dynamic: one distance code of one bit",
     [] {
       BitWriter w;
       Huffman lit(AbLengths()), dist({1});
       DynamicHeader(w, true, 258, 1, PlainLengths(lit.lengths, dist.lengths));
       lit.Put(w, 'a');
       lit.Put(w, 'b');
       lit.Put(w, 257);  // length 3
       dist.Put(w, 0);   // distance 1
       lit.Put(w, 256);
       return w.Finish();
     },
     true, [] { return Str("abbbb"); }},

    {"dynamic: the free code of a one-code distance set",
     [] {
       BitWriter w;
       Huffman lit(AbLengths()), dist({1});
       DynamicHeader(w, true, 258, 1, PlainLengths(lit.lengths, dist.lengths));
       lit.Put(w, 'a');
       lit.Put(w, 'b');
       lit.Put(w, 257);  // length 3
       w.Code(1, 1);     // the unassigned distance code
       lit.Put(w, 256);
       return w.Finish();
     },
     false, [] { return Str("ab"); }},

    {"dynamic: incomplete distance set, assigned codes only",
     [] {
       BitWriter w;
       Huffman lit(Lengths(258, {{'a', 2}, {'b', 2}, {'c', 3}, {'d', 3}, {256, 3}, {257, 3}}));
       Huffman dist({2, 2, 0, 2});  // distances 1, 2 and 4; code 11 is free
       DynamicHeader(w, true, 258, 4, PlainLengths(lit.lengths, dist.lengths));
       for (char c : std::string("abcd")) lit.Put(w, static_cast<uint8_t>(c));
       lit.Put(w, 257);  // length 3
       dist.Put(w, 3);   // distance 4
       lit.Put(w, 257);  // length 3
       dist.Put(w, 0);   // distance 1
       lit.Put(w, 256);
       return w.Finish();
     },
     true, [] { return Str("abcdabcccc"); }},

    {"dynamic: incomplete distance set, free code met",
     [] {
       BitWriter w;
       Huffman lit(AbLengths());
       Huffman dist({2, 2, 0, 2});
       DynamicHeader(w, true, 258, 4, PlainLengths(lit.lengths, dist.lengths));
       lit.Put(w, 'a');
       lit.Put(w, 'b');
       lit.Put(w, 257);  // length 3
       w.Code(3, 2);     // 11: no distance has it
       lit.Put(w, 256);
       return w.Finish();
     },
     false, [] { return Str("ab"); }},

    {"dynamic: only literals and an empty distance set",
     [] {
       BitWriter w;
       Huffman lit(AbLengths());
       DynamicHeader(w, true, 258, 1, PlainLengths(lit.lengths, {0}));
       lit.Put(w, 'a');
       lit.Put(w, 'b');
       lit.Put(w, 256);
       return w.Finish();
     },
     true, [] { return Str("ab"); }},

    {"dynamic: length code while the distance set is empty",
     [] {
       BitWriter w;
       Huffman lit(AbLengths());
       DynamicHeader(w, true, 258, 1, PlainLengths(lit.lengths, {0}));
       lit.Put(w, 'a');
       lit.Put(w, 'b');
       lit.Put(w, 257);  // length 3, and no distance can follow
       w.Bits(0, 5);
       lit.Put(w, 256);
       return w.Finish();
     },
     false, [] { return Str("ab"); }},

    {"dynamic: a block of nothing but end of block (single one-bit code)",
     [] {
       BitWriter w;
       Huffman lit(Lengths(257, {{256, 1}}));
       DynamicHeader(w, false, 257, 1, PlainLengths(lit.lengths, {0}));
       lit.Put(w, 256);
       FixedBlock(w, "z", true);
       return w.Finish();
     },
     true, [] { return Str("z"); }},

    {"dynamic: over-subscribed literal/length set",
     [] {
       BitWriter w;
       FixedBlock(w, "ok");
       Huffman dist({1});
       std::vector<uint16_t> lit = Lengths(257, {{'a', 1}, {'b', 1}, {256, 1}});
       DynamicHeader(w, true, 257, 1, PlainLengths(lit, dist.lengths));
       w.Code(0, 1);  // 'a' under any reading
       w.Code(1, 1);
       w.Bits(0, 16);
       return w.Finish();
     },
     false, [] { return Str("ok"); }},

    {"dynamic: incomplete literal/length set",
     [] {
       BitWriter w;
       FixedBlock(w, "ok");
       Huffman lit(Lengths(257, {{'a', 1}, {256, 2}})), dist({1});
       DynamicHeader(w, true, 257, 1, PlainLengths(lit.lengths, dist.lengths));
       lit.Put(w, 'a');  // assigned codes only: the set itself is refused
       lit.Put(w, 256);
       return w.Finish();
     },
     false, [] { return Str("ok"); }},

    {"dynamic: code-length symbol 16 first repeats length 0",
     [] {
       BitWriter w;
       Huffman lit(AbLengths()), dist({1});
       DynamicHeader(w, true, 258, 1,
                     {
                         {16, 3},    // 6 x length 0: symbols 0..5
                         {18, 80},   // 91 x 0: up to 'a'
                         {2},        // 'a'
                         {2},        // 'b'
                         {18, 127},  // 138 x 0
                         {18, 8},    // 19 x 0: up to 256
                         {2},        // end of block
                         {2},        // length 3
                         {1},        // distance 1
                     });
       lit.Put(w, 'a');
       lit.Put(w, 'b');
       lit.Put(w, 257);
       dist.Put(w, 0);
       lit.Put(w, 256);
       return w.Finish();
     },
     true, [] { return Str("abbbb"); }},

    {"dynamic: repeat runs on from literal/length into distance lengths",
     [] {
       BitWriter w;
       Huffman lit(AbLengths()), dist({2, 2, 2, 2});
       std::vector<ClItem> seq = PlainLengths(lit.lengths, {});
       seq.resize(257);         // up to end of block, which has length 2
       seq.push_back({16, 2});  // 5 x 2: length 3 and distances 1..4
       DynamicHeader(w, true, 258, 4, seq);
       lit.Put(w, 'a');
       lit.Put(w, 'b');
       lit.Put(w, 257);  // length 3
       dist.Put(w, 1);   // distance 2
       lit.Put(w, 256);
       return w.Finish();
     },
     true, [] { return Str("ababa"); }},

    {"dynamic: repeat run past the number of lengths",
     [] {
       BitWriter w;
       FixedBlock(w, "ok");
       Huffman lit(AbLengths());
       std::vector<ClItem> seq = PlainLengths(lit.lengths, {});
       seq.push_back({16, 0});  // 3 x 2 where only one distance length is left
       DynamicHeader(w, true, 258, 1, seq);
       lit.Put(w, 'a');
       lit.Put(w, 256);
       return w.Finish();
     },
     false, [] { return Str("ok"); }},

    {"stream cut in the middle of a block",
     [] {
       BitWriter w;
       FixedBlock(w, "hello world", true);
       Bytes b = w.Finish();
       b.resize(5);  // 40 bits: header and four literals, part of a fifth
       return b;
     },
     false, [] { return Str("hell"); }},

    {"input ends exactly after a non-last block",
     [] {
       BitWriter w;
       w.Bits(0, 1);                              // BFINAL clear
       w.Bits(1, 2);                              // BTYPE fixed
       FixedText(w, "\xC0\xC1\xC2\xC3\xC4\xC5");  // six 9-bit codes
       FixedSymbol(w, 256);                       // ends on bit 64
       return w.Finish();
     },
     false, [] { return Str("\xC0\xC1\xC2\xC3\xC4\xC5"); }},

    {"input ends in the padding after a non-last block",
     [] {
       BitWriter w;
       FixedBlock(w, "ab");  // 26 bits, six zero bits of padding
       return w.Finish();
     },
     false, [] { return Str("ab"); }},

    {"no input at all", [] { return Bytes(); }, false, [] { return Str(""); }},

    {"all one-bits", [] { return Bytes(300, 0xFF); }, false, [] { return Str(""); }},
};

TEST(InflateStreams, HandMadeCases) {
  for (const StreamCase& c : kCases) {
    SCOPED_TRACE(c.name);
    Bytes stream = c.stream();
    Bytes expected = c.output();
    InflateRun run = RunInflate(stream, OutputBound(stream.size()));
    EXPECT_STREQ(ResultName(run.result), c.good ? "kDone" : "kBadData");
    EXPECT_EQ(run.output.size(), expected.size());
    EXPECT_TRUE(run.output == expected);
    if (c.good) {
      EXPECT_TRUE(run.stream.Verified(ZlibCrc(expected)));
      EXPECT_EQ(run.consumed, stream.size());
    }
  }
}

// Two bits per 258 bytes is the most any stream can expand: length 258 and
// distance 1 each with a one-bit code.
TEST(InflateStreams, MaximalExpansion) {
  BitWriter w;
  Huffman lit(Lengths(286, {{'a', 2}, {256, 2}, {285, 1}})), dist({1});
  DynamicHeader(w, true, 286, 1, PlainLengths(lit.lengths, dist.lengths));
  lit.Put(w, 'a');
  const int kPairs = 4 * 1000;
  for (int i = 0; i < kPairs; ++i) {
    lit.Put(w, 285);  // length 258
    dist.Put(w, 0);   // distance 1
  }
  lit.Put(w, 256);
  Bytes stream = w.Finish();
  InflateRun run = RunInflate(stream, OutputBound(stream.size()));
  EXPECT_STREQ(ResultName(run.result), "kDone");
  EXPECT_EQ(run.output.size(), 1u + 258u * kPairs);
  EXPECT_TRUE(run.output == Bytes(1 + 258 * kPairs, 'a'));
  EXPECT_LE(run.output.size(), OutputBound(stream.size()));
}

// Roots that the table builder widens to the decoder's fixed root widths: a
// literal/length root cut short by a short end-of-block code, whose 8-bit
// literals then repeat in it, and a distance code whose every code is longer
// than the distance root, which the fast loop must leave to the careful path.
// Long enough for the fast loop, with matches at distances 1 to 4.
TEST(InflateStreams, RootsOfUnusualShape) {
  struct Shape {
    const char* name;
    std::vector<uint16_t> lit, dist;
    std::vector<unsigned> literals;  // the literal symbols the stream uses
    unsigned distanceSymbol;         // a code without extra bits
  };
  std::vector<uint16_t> shortEnd = Lengths(258, {{'a', 2}, {256, 2}, {257, 2}});
  std::vector<unsigned> wide{'a'};
  for (unsigned c = 0x40; c < 0x80; ++c) {
    if (c != 'a') shortEnd[c] = 8, wide.push_back(c);
  }
  shortEnd[0x80] = 8;  // 64 codes of 8 bits with 'a' moved: still complete
  wide.push_back(0x80);
  // Six letters, the end of block and one length in 3-bit codes, beside
  // distance codes of 7 bits only.
  const std::vector<uint16_t> eightCodes =
      Lengths(258, {{'a', 3}, {'b', 3}, {'c', 3}, {'d', 3}, {'e', 3}, {'f', 3}, {256, 3}, {257, 3}});
  const std::vector<uint16_t> longDistances = Lengths(3, {{0, 7}, {1, 7}, {2, 7}});
  const std::vector<unsigned> letters{'a', 'b', 'c', 'd', 'e', 'f'};
  const Shape kShapes[] = {
      {"2-bit end of block beside 8-bit literals", shortEnd, Lengths(4, {{3, 1}}), wide, 3},
      {"distance codes of 7 bits only", eightCodes, longDistances, letters, 1},
      {"distance codes of 7 bits only, distance 1", eightCodes, longDistances, letters, 0},
  };
  for (const Shape& shape : kShapes) {
    SCOPED_TRACE(shape.name);
    Huffman lit(shape.lit), dist(shape.dist);
    BitWriter w;
    DynamicHeader(w, true, static_cast<unsigned>(lit.lengths.size()),
                  static_cast<unsigned>(dist.lengths.size()),
                  PlainLengths(lit.lengths, dist.lengths));
    const size_t distance = 1 + shape.distanceSymbol;  // codes 0..3: distances 1..4
    Bytes expected;
    for (unsigned i = 0; i < 6000; ++i) {
      if (i % 5 == 4 && expected.size() >= distance) {
        lit.Put(w, 257);  // length 3
        dist.Put(w, shape.distanceSymbol);
        for (int k = 0; k < 3; ++k) expected.push_back(expected[expected.size() - distance]);
      } else {
        unsigned sym = shape.literals[i * 7 % shape.literals.size()];
        lit.Put(w, sym);
        expected.push_back(static_cast<uint8_t>(sym));
      }
    }
    lit.Put(w, 256);
    Bytes stream = w.Finish();
    InflateRun run = RunInflate(stream, OutputBound(stream.size()));
    EXPECT_STREQ(ResultName(run.result), "kDone");
    EXPECT_EQ(run.output.size(), expected.size());
    EXPECT_TRUE(run.output == expected);
    EXPECT_TRUE(run.stream.Verified(ZlibCrc(expected)));
  }
}

}  // namespace
}  // namespace ebook::test
