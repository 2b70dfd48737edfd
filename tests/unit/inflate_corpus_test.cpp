// Streams from the encoders that real archives come from (7-Zip, Info-ZIP,
// libdeflate, zlib), written by tools/make_deflate_corpus.py.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "test_support.h"

namespace ebook::test {
namespace {

bool ReadFile(const std::string& path, Bytes& out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out.clear();
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

TEST(InflateCorpus, RealEncoders) {
  if (CorpusDir() == nullptr) GTEST_SKIP() << "no corpus folder given on the command line";
  const std::string dir = std::string(CorpusDir()) + "/";
  Bytes manifest;
  ASSERT_TRUE(ReadFile(dir + "MANIFEST", manifest)) << dir << "MANIFEST";
  std::istringstream lines(std::string(manifest.begin(), manifest.end()));

  std::map<std::string, Bytes> raws;
  std::set<std::string> producers;
  std::set<unsigned> encryptedFlags;
  int streams = 0;
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string kind, name, rawName;
    fields >> kind >> name >> rawName;
    SCOPED_TRACE(name);
    if (raws.count(rawName) == 0) {
      ASSERT_TRUE(ReadFile(dir + rawName, raws[rawName])) << rawName;
    }
    const Bytes& raw = raws[rawName];
    Bytes entry;
    ASSERT_TRUE(ReadFile(dir + name, entry));

    CipherKeys keys;
    CipherKeys* usedKeys = nullptr;
    if (kind == "encrypted") {
      unsigned flags, mtime;
      uint32_t crc;
      std::string password;
      fields >> flags >> crc >> mtime >> password;
      ASSERT_FALSE(fields.fail()) << line;
      ASSERT_GE(entry.size(), size_t{kEncryptionHeaderSize});
      uint8_t buffer[2 * kEncryptionHeaderSize];
      std::memcpy(buffer + kEncryptionHeaderSize, entry.data(), kEncryptionHeaderSize);
      ASSERT_TRUE(TestEncryptionHeader(buffer, kEncryptionHeaderSize, static_cast<uint16_t>(flags),
                                       crc, static_cast<uint16_t>(mtime), password, keys));
      EXPECT_EQ(crc, ZlibCrc(raw));
      entry.erase(entry.begin(), entry.begin() + kEncryptionHeaderSize);
      usedKeys = &keys;
      encryptedFlags.insert(flags & 8);
    } else {
      ASSERT_EQ(kind, "deflate") << line;
      size_t dot = name.find('.'), dash = name.find('-', dot);
      producers.insert(name.substr(dot + 1, dash - dot - 1));
    }

    InflateRun run = RunInflate(entry, raw.size() + 1, usedKeys);
    EXPECT_STREQ(ResultName(run.result), "kDone");
    EXPECT_EQ(run.output.size(), raw.size());
    EXPECT_TRUE(run.output == raw);
    EXPECT_TRUE(run.stream.Verified(ZlibCrc(raw)));
    // The last byte holds the end of the last block, so a sound decoder
    // reads the entry to its end.
    EXPECT_EQ(run.consumed, entry.size());
    ++streams;
    if (HasFailure()) return;
  }
  EXPECT_GT(streams, 100);
  EXPECT_EQ(producers, (std::set<std::string>{"7z", "infozip", "libdeflate", "zlib"}));
  // Both kinds of password check: against the time and against the CRC.
  EXPECT_EQ(encryptedFlags, (std::set<unsigned>{0, 8}));
}

}  // namespace
}  // namespace ebook::test
