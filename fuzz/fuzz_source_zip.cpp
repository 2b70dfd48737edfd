// `bookpack build` of a source ZIP: the input is the ZIP a publisher hands
// over, read by the source-ZIP reader, planned, decoded, recompressed and
// written behind a small stub into a scratch folder. Whatever the archive
// holds, the build must end with a status (0 built, 1 refused), leave a
// setup only when it built one, and stay within the memory limits the
// ctest run sets: a claim of gigabytes in a few bytes is refused, never
// allocated.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "build.h"
#include "fuzz_common.h"

namespace {

namespace fs = std::filesystem;

// A stub as bookpack takes it: any bytes whose "StubLength::" slot holds
// the file's own length.
std::vector<uint8_t> FakeStub() {
  std::vector<uint8_t> stub(128, 0);
  stub[0] = 'M';
  stub[1] = 'Z';
  const std::string marker = "StubLength::";
  std::copy(marker.begin(), marker.end(), stub.begin() + 64);
  const uint32_t length = static_cast<uint32_t>(stub.size());
  for (int i = 0; i < 4; ++i)
    stub[64 + marker.size() + i] = static_cast<uint8_t>(length >> (8 * i));
  return stub;
}

void WriteFile(const fs::path& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  FUZZ_CHECK(out.good());
}

fs::path scratch;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = (fs::exists("/dev/shm") ? std::string("/dev/shm") : std::string("/tmp")) +
                        "/fuzz_source_zip_XXXXXX";
  FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
  scratch = pattern;
  const std::vector<uint8_t> stub = FakeStub();
  WriteFile(scratch / "stub.exe", stub.data(), stub.size());
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > fuzz::kMaxInput) return -1;
  const fs::path source = scratch / "source.zip";
  const fs::path output = scratch / "Setup.exe";
  WriteFile(source, data, size);
  std::error_code ignored;
  fs::remove(output, ignored);

  bookpack::BuildOptions options;
  options.Source = source.string();
  options.StubPath = (scratch / "stub.exe").string();
  options.OutputPath = output.string();
  // Stored entries and the fastest level: the fuzzer's time goes to the
  // reading and decoding, not to compression.
  options.Level = size % 2 == 0 ? 0 : 1;
  if (size % 3 == 0) options.Password = "secret";
  std::ostringstream out, err;
  const int status = bookpack::RunBuild(options, out, err);
  FUZZ_CHECK(status == 0 || status == 1);
  FUZZ_CHECK(fs::exists(output) == (status == 0));
  if (status == 0) {
    // A setup whose archive starts right after the stub and its size field.
    const uintmax_t length = fs::file_size(output);
    FUZZ_CHECK(length >= 128 + 8 + 22 && length % 8 == 0);
  }
  // Nothing but the files of this run is left in the scratch folder.
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(scratch)) {
    (void)entry;
    ++files;
  }
  FUZZ_CHECK(files == (status == 0 ? 3u : 2u));
  return 0;
}
