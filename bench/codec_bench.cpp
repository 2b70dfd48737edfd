// Decoding speed of the core against zlib (and libdeflate where it is
// available) on the corpus that make_corpus.py writes.
//
//   codec_bench CORPUSDIR
//
// Every decoder is timed doing an extractor's whole job: inflate, then the
// CRC-32 of the output. Our decoder computes the CRC as it writes, so zlib's
// and libdeflate's times include their own crc32 over the output. Figures are
// MB/s of output (10^6 bytes), each the best of at least five runs and 0.2 s.
// The closing ratios are geometric means over the items, ours over theirs:
// above 1 we are faster.
#include <zlib.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef EBOOK_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "core/crc32.h"
#include "core/entry_stream.h"
#include "core/inflate.h"
#include "core/memory_io.h"

namespace {

using Bytes = std::vector<uint8_t>;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "codec_bench: %s\n", what.c_str());
  std::exit(1);
}

Bytes ReadFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) Fail("cannot open " + path);
  Bytes data;
  uint8_t buffer[1 << 16];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) != 0) {
    data.insert(data.end(), buffer, buffer + n);
  }
  std::fclose(f);
  return data;
}

// Best wall time of one call, in seconds.
template <class Fn>
double BestTime(Fn&& fn) {
  using Clock = std::chrono::steady_clock;
  double best = 1e30;
  double total = 0;
  for (int runs = 0; runs < 5 || total < 0.2; ++runs) {
    Clock::time_point start = Clock::now();
    fn();
    double t = std::chrono::duration<double>(Clock::now() - start).count();
    if (t < best) best = t;
    total += t;
  }
  return best;
}

uint32_t InflateOurs(const Bytes& in, Bytes& out) {
  ebook::MemorySource source(in.data(), in.size());
  ebook::MemorySink sink(out.data(), out.size());
  ebook::EntryStream stream;
  stream.Source = &source;
  stream.Sink = &sink;
  stream.BytesRemaining = static_cast<int32_t>(in.size());
  if (ebook::InflateEntry(stream) != ebook::InflateResult::kDone || sink.Size() != out.size()) {
    Fail("our decoder failed");
  }
  return stream.CrcRegister ^ 0xFFFFFFFFu;
}

uint32_t InflateZlib(const Bytes& in, Bytes& out) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) Fail("inflateInit2 failed");
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int result = inflate(&z, Z_FINISH);
  inflateEnd(&z);
  if (result != Z_STREAM_END || z.total_out != out.size()) Fail("zlib inflate failed");
  return static_cast<uint32_t>(crc32(0, out.data(), static_cast<uInt>(out.size())));
}

#ifdef EBOOK_HAVE_LIBDEFLATE
uint32_t InflateLibdeflate(libdeflate_decompressor* d, const Bytes& in, Bytes& out) {
  size_t produced = 0;
  if (libdeflate_deflate_decompress(d, in.data(), in.size(), out.data(), out.size(), &produced) !=
          LIBDEFLATE_SUCCESS ||
      produced != out.size()) {
    Fail("libdeflate failed");
  }
  return libdeflate_crc32(0, out.data(), out.size());
}
#endif

double Mbps(size_t bytes, double seconds) { return bytes / seconds / 1e6; }

struct GeoMean {
  double logSum = 0;
  int count = 0;
  void Add(double ratio) {
    logSum += std::log(ratio);
    ++count;
  }
  double Value() const { return std::exp(logSum / count); }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: codec_bench CORPUSDIR [LABEL]\n");
    return 2;
  }
  const std::string dir = argv[1];
  // Names the build in every ratio line (e.g. "stub-i686"), so that lines
  // from several builds and architectures can stand side by side.
  const std::string label = argc == 3 ? std::string(" ") + argv[2] : std::string();
  ebook::BuildCrcTable();

  FILE* index = std::fopen((dir + "/items.txt").c_str(), "r");
  if (index == nullptr) Fail("no items.txt in " + dir + " (run make_corpus.py)");
#ifdef EBOOK_HAVE_LIBDEFLATE
  libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
  const bool libdeflate = true;
#else
  const bool libdeflate = false;
#endif

  std::printf("codec_bench: MB/s of output, best of >= 5 runs and >= 0.2 s.\n");
  std::printf("Inflate includes the CRC-32 of the output: ours computes it as it writes;\n");
  std::printf("zlib and libdeflate are followed by their own crc32 over the output.\n\n");
  std::printf("%-20s %-7s %9s %6s %9s %9s %9s %10s %10s\n", "item", "class", "raw KB", "ratio",
              "ours", "zlib", "libdefl", "crc ours", "crc zlib");

  GeoMean inflateZlib, inflateLibdeflate, crcZlib;
  char name[256], cls[64];
  unsigned long rawSize, packedSize;
  while (std::fscanf(index, "%255s %63s %lu %lu", name, cls, &rawSize, &packedSize) == 4) {
    const Bytes raw = ReadFile(dir + "/" + name + ".raw");
    const Bytes packed = ReadFile(dir + "/" + name + ".deflate");
    if (raw.size() != rawSize || packed.size() != packedSize) Fail(std::string("stale ") + name);
    const uint32_t crc = static_cast<uint32_t>(crc32(0, raw.data(), static_cast<uInt>(raw.size())));
    Bytes out(raw.size());

    // Correctness first, outside the timing.
    if (InflateOurs(packed, out) != crc || out != raw) Fail(std::string("wrong output: ") + name);
    if (InflateZlib(packed, out) != crc) Fail("zlib disagrees");
    uint32_t r = 0xFFFFFFFFu;
    ebook::CrcUpdate(raw.data(), static_cast<int32_t>(raw.size()), r);
    if ((r ^ 0xFFFFFFFFu) != crc) Fail(std::string("wrong CRC-32: ") + name);

    volatile uint32_t sink = 0;
    const double ours = Mbps(raw.size(), BestTime([&] { sink = InflateOurs(packed, out); }));
    const double zlib = Mbps(raw.size(), BestTime([&] { sink = InflateZlib(packed, out); }));
    double other = 0;
#ifdef EBOOK_HAVE_LIBDEFLATE
    if (InflateLibdeflate(decompressor, packed, out) != crc) Fail("libdeflate disagrees");
    other =
        Mbps(raw.size(), BestTime([&] { sink = InflateLibdeflate(decompressor, packed, out); }));
    inflateLibdeflate.Add(ours / other);
#endif
    const double crcOurs = Mbps(raw.size(), BestTime([&] {
                                  uint32_t v = 0xFFFFFFFFu;
                                  ebook::CrcUpdate(raw.data(), static_cast<int32_t>(raw.size()), v);
                                  sink = v;
                                }));
    const double crcTheirs =
        Mbps(raw.size(), BestTime([&] {
               sink = static_cast<uint32_t>(crc32(0, raw.data(), static_cast<uInt>(raw.size())));
             }));
    inflateZlib.Add(ours / zlib);
    crcZlib.Add(crcOurs / crcTheirs);

    char otherText[16] = "-";
    if (libdeflate) std::snprintf(otherText, sizeof otherText, "%.0f", other);
    std::printf("%-20s %-7s %9.0f %5.1f%% %9.0f %9.0f %9s %10.0f %10.0f\n", name, cls,
                raw.size() / 1024.0, 100.0 * packed.size() / raw.size(), ours, zlib, otherText,
                crcOurs, crcTheirs);
  }
  std::fclose(index);
  if (inflateZlib.count == 0) Fail("no items in " + dir);

  std::printf("\nGeometric means over %d items, ours / theirs (> 1: ours faster):\n",
              inflateZlib.count);
  std::printf("inflate/zlib%s %.2f\n", label.c_str(), inflateZlib.Value());
  std::printf("crc32/zlib%s %.2f\n", label.c_str(), crcZlib.Value());
#ifdef EBOOK_HAVE_LIBDEFLATE
  libdeflate_free_decompressor(decompressor);
  std::printf("inflate/libdeflate%s %.2f\n", label.c_str(), inflateLibdeflate.Value());
#endif
  return 0;
}
