// Test entry point: the CRC table must exist before any core function runs,
// and the inflate program takes the corpus folder as its one argument.
#include <gtest/gtest.h>

#include "core/crc32.h"
#include "test_support.h"

namespace {
const char* g_corpusDir = nullptr;
}

const char* ebook::test::CorpusDir() { return g_corpusDir; }

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc > 1) g_corpusDir = argv[1];
  ebook::BuildCrcTable();
  return RUN_ALL_TESTS();
}
