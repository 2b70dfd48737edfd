// Raw Deflate input against the inflate decoder, with zlib as the reference:
// whatever zlib decodes completely we must decode to the same bytes, and
// wherever both stop we must agree on every byte written so far.
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "core/crc32.h"
#include "fuzz_common.h"

namespace {

struct ZlibResult {
  int Code;
  size_t Size;
  bool InputUsedUp;
  bool OutputFull;
  bool MustRefuse;  // zlib stopped at damage that no decoder may accept
  bool AtSymbol;    // ... found at a symbol, where we must stop as well
};

// zlib's messages for damage that every decoder must refuse. zlib refuses
// more than that (incomplete distance codes, 31 or 32 distance codes, a
// repeat of a length before any length, ...), where a more lenient decoder
// is no fault; those messages are not listed.
bool MustRefuse(const char* message) {
  static const char* const kMessages[] = {
      "invalid block type",
      "invalid stored block lengths",
      "invalid literal/length code",
      "invalid distance code",
      "invalid distance too far back",
      "invalid code -- missing end-of-block",
  };
  if (message == nullptr) return false;
  for (const char* m : kMessages) {
    if (std::strcmp(message, m) == 0) return true;
  }
  return false;
}

ZlibResult ZlibInflate(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
  size_t capacity = fuzz::OutputBound(size);
  if (out.size() < capacity) out.resize(capacity);
  z_stream z{};
  FUZZ_CHECK(inflateInit2(&z, -15) == Z_OK);
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(capacity);
  int code = inflate(&z, Z_FINISH);
  ZlibResult result{code,
                    z.total_out,
                    z.avail_in == 0,
                    z.avail_out == 0,
                    code == Z_DATA_ERROR && MustRefuse(z.msg),
                    false};
  // A block without an end-of-block code is refused by zlib before its
  // first symbol, by us only when its symbols run out.
  result.AtSymbol =
      result.MustRefuse && std::strcmp(z.msg, "invalid code -- missing end-of-block") != 0;
  inflateEnd(&z);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ebook::BuildCrcTable();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > fuzz::kMaxInput) return 0;

  // The sliced CRC must agree with zlib whatever the length and alignment.
  if (size != 0) {
    size_t split = data[0] % size;
    uint32_t r = 0xFFFFFFFFu;
    ebook::CrcUpdate(data, static_cast<int32_t>(split), r);
    ebook::CrcUpdate(data + split, static_cast<int32_t>(size - split), r);
    ebook::CrcUpdate(data, 0, r);
    ebook::CrcUpdate(data, -1, r);
    FUZZ_CHECK((r ^ 0xFFFFFFFFu) == crc32(0, data, static_cast<uInt>(size)));
  }

  static std::vector<uint8_t> ours;
  static std::vector<uint8_t> theirs;
  fuzz::Decoded d = fuzz::Inflate(data, size, nullptr, ours);
  FUZZ_CHECK(d.Crc == crc32(0, ours.data(), static_cast<uInt>(d.Size)));

  ZlibResult z = ZlibInflate(data, size, theirs);
  // Both decoders write every byte before the point where they stop, so the
  // shorter output is a prefix of the longer one.
  size_t common = std::min(d.Size, z.Size);
  FUZZ_CHECK(std::memcmp(ours.data(), theirs.data(), common) == 0);
  if (z.Code == Z_STREAM_END) {
    FUZZ_CHECK(d.Result == ebook::InflateResult::kDone);
    FUZZ_CHECK(d.Size == z.Size);
  }
  // zlib accepted everything before the damage, so we reach the same damage
  // and must refuse it as well.
  if (z.MustRefuse) FUZZ_CHECK(d.Result == ebook::InflateResult::kBadData);
  if (z.AtSymbol) FUZZ_CHECK(d.Size == z.Size);
  // zlib ran out of input with every bit checked: a decoder that still found
  // the end of the stream read bits that are not there.
  if (z.Code == Z_BUF_ERROR && z.InputUsedUp && !z.OutputFull) {
    FUZZ_CHECK(d.Result != ebook::InflateResult::kDone);
  }
  return 0;
}
