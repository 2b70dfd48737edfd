// The stub is compiled for size, with some of GCC's optimisations turned off
// where, over the whole program, they only made it larger (see
// src/win32/CMakeLists.txt). The code an install spends its time in gets
// them back, so that it compiles as it did before they were turned off.
#pragma once

#if defined(__GNUC__) && !defined(__clang__) && defined(EBOOK_COMPACT)
// What the stub's options turn off (or on), named for the optimize attribute;
// naming one the architecture's options left alone changes nothing.
// clang-format off
#define EBOOK_SIZE_ONLY_OPTIMISATIONS                                                            \
  "expensive-optimizations", "caller-saves", "tree-tail-merge", "partial-inlining",             \
  "ipa-modref", "shrink-wrap", "code-hoisting", "tree-pre", "defer-pop",                         \
  "optimize-sibling-calls", "ipa-sra", "tree-scev-cprop", "cse-follow-jumps", "if-conversion",  \
  "schedule-insns2", "tree-ccp", "tree-coalesce-vars", "tree-fre", "tree-loop-ivcanon",         \
  "tree-sink", "tree-vrp", "no-live-range-shrinkage"
// clang-format on
// The decoder's fast loop: compiled for speed, without the padding that
// aligns its loops and jumps (about 50 bytes of x86-64 code).
#define EBOOK_HOT                                                                   \
  __attribute__((optimize("O2", "align-loops=1", "align-jumps=1", "align-labels=1", \
                          EBOOK_SIZE_ONLY_OPTIMISATIONS)))
// The CRC's folding loop: for size, as before.
#define EBOOK_BUSY __attribute__((optimize(EBOOK_SIZE_ONLY_OPTIMISATIONS)))
#elif defined(__GNUC__) && !defined(__clang__)
#define EBOOK_HOT __attribute__((optimize("O2")))
#define EBOOK_BUSY
#else
#define EBOOK_HOT
#define EBOOK_BUSY
#endif
