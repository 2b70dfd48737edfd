// CRC-32 by carry-less multiplication (the folding method of Gopal, Ozturk
// et al., "Fast CRC Computation for Generic Polynomials Using PCLMULQDQ
// Instruction", Intel, 2009), for processors that have the instruction.
//
// Four 128-bit lanes are folded forward 64 bytes at a time, then into one
// lane, which is reduced to 64 and then, by Barrett reduction, to 32 bits.
// The constants are x^k mod P for the bit-reflected polynomial:
//   k1 = x^(4*128+32), k2 = x^(4*128-32), k3 = x^(128+32), k4 = x^(128-32),
//   k5 = x^64, and mu = x^64 / P for the Barrett step.
// Only compiled for x86; the caller checks the processor at run time.
#include "crc32_clmul.h"

#include "hot_code.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <emmintrin.h>
#include <wmmintrin.h>

namespace ebook {

EBOOK_BUSY __attribute__((target("pclmul,sse2"))) uint32_t CrcUpdateClmul(const uint8_t* data,
                                                                          size_t length,
                                                                          uint32_t running) {
  alignas(16) static const uint64_t kFold1[2] = {0x1751997d0, 0x0ccaa009e};
  alignas(16) static const uint64_t kFold64[2] = {0x163cd6124, 0};
  alignas(16) static const uint64_t kBarrett[2] = {0x1db710641, 0x1f7011641};

  const __m128i* p = reinterpret_cast<const __m128i*>(data);
  __m128i k;
  auto fold = [&k](__m128i x, __m128i next) __attribute__((target("pclmul,sse2"))) {
    __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
  };
  __m128i x1, x2;
  alignas(16) static const uint64_t kFold4[2] = {0x154442bd4, 0x1c6e41596};
  x1 = _mm_loadu_si128(p + 0);
  x2 = _mm_loadu_si128(p + 1);
  __m128i x3 = _mm_loadu_si128(p + 2);
  __m128i x4 = _mm_loadu_si128(p + 3);
  x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(running)));
  p += 4;
  length -= 64;

  k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold4));
  for (; length >= 64; length -= 64, p += 4) {
    __m128i lo1 = _mm_clmulepi64_si128(x1, k, 0x00);
    __m128i lo2 = _mm_clmulepi64_si128(x2, k, 0x00);
    __m128i lo3 = _mm_clmulepi64_si128(x3, k, 0x00);
    __m128i lo4 = _mm_clmulepi64_si128(x4, k, 0x00);
    x1 = _mm_clmulepi64_si128(x1, k, 0x11);
    x2 = _mm_clmulepi64_si128(x2, k, 0x11);
    x3 = _mm_clmulepi64_si128(x3, k, 0x11);
    x4 = _mm_clmulepi64_si128(x4, k, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, lo1), _mm_loadu_si128(p + 0));
    x2 = _mm_xor_si128(_mm_xor_si128(x2, lo2), _mm_loadu_si128(p + 1));
    x3 = _mm_xor_si128(_mm_xor_si128(x3, lo3), _mm_loadu_si128(p + 2));
    x4 = _mm_xor_si128(_mm_xor_si128(x4, lo4), _mm_loadu_si128(p + 3));
  }

  // Four lanes into one, then any further 16-byte blocks.
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold1));
  x1 = fold(x1, x2);
  x1 = fold(x1, x3);
  x1 = fold(x1, x4);
  for (; length >= 16; length -= 16, ++p) x1 = fold(x1, _mm_loadu_si128(p));

  // 128 bits to 64.
  const __m128i mask32 = _mm_setr_epi32(-1, 0, -1, 0);
  x2 = _mm_clmulepi64_si128(x1, k, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
  k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kFold64));
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k, 0x00);
  x1 = _mm_xor_si128(x1, x2);

  // Barrett reduction to 32 bits.
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(kBarrett));
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k, 0x10);
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, mask32), k, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x1, 4)));
}

// CPUID leaf 1 directly: the compiler's own processor-model support would
// bring a few kilobytes of start-up code into the stub.
bool ClmulAvailable() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  return (ecx & bit_PCLMUL) != 0 && (edx & bit_SSE2) != 0;
}

}  // namespace ebook

#else

namespace ebook {
uint32_t CrcUpdateClmul(const uint8_t*, size_t, uint32_t running) { return running; }
bool ClmulAvailable() { return false; }
}  // namespace ebook

#endif
