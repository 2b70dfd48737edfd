// The two UTF-8 steps both hosts and the licence reader need: judging one
// sequence, and writing one code point. Inline: each is a few instructions
// in a loop of its caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ebook {

// Length of the well-formed UTF-8 sequence that starts at text[at]; 0 when
// there is none (a stray byte, an overlong form, a surrogate, a code point
// past U+10FFFF, or a sequence cut short).
inline size_t Utf8SequenceLength(std::string_view text, size_t at) {
  const auto lead = static_cast<uint8_t>(text[at]);
  if (lead < 0x80) return 1;
  size_t more = 0;
  uint8_t low = 0x80, high = 0xBF;  // the range of the first continuation byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (at + more >= text.size()) return 0;  // cut short
  for (size_t k = 1; k <= more; ++k) {
    const auto next = static_cast<uint8_t>(text[at + k]);
    if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return 0;
  }
  return more + 1;
}

// Writes `codePoint` (at most U+10FFFF, no surrogate) as UTF-8 into `out`;
// returns the byte count, 1 to 4.
inline int EncodeUtf8(uint32_t c, char (&out)[4]) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

}  // namespace ebook
