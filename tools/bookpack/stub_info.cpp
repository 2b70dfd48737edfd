#include "stub_info.h"

#include <algorithm>
#include <cstring>

#include "host/host_os.h"

namespace bookpack {

std::optional<uint32_t> RecordedStubLength(const std::vector<uint8_t>& bytes) {
  const auto* marker = reinterpret_cast<const uint8_t*>(kStubLengthMarker);
  const size_t m = std::strlen(kStubLengthMarker);
  auto first = std::search(bytes.begin(), bytes.end(), marker, marker + m);
  if (first == bytes.end() || bytes.end() - first < static_cast<ptrdiff_t>(m + 4)) return {};
  // A second marker can only be in the appended archive if the stub's is
  // the first; inside the stub image it would make the slot ambiguous.
  const size_t at = static_cast<size_t>(first - bytes.begin()) + m;
  const uint32_t length = uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 |
                          uint32_t(bytes[at + 2]) << 16 | uint32_t(bytes[at + 3]) << 24;
  if (length < at + 4) return {};
  auto second = std::search(first + 1, bytes.begin() + std::min<size_t>(length, bytes.size()),
                            marker, marker + m);
  if (second != bytes.begin() + std::min<size_t>(length, bytes.size())) return {};
  return length;
}

namespace {

// The first place in [from, to) of the file where `marker` lies whole, read
// a piece at a time; `to` when there is none or the file cannot be read.
uint64_t FindMarker(ebook::os::Fd fd, uint64_t from, uint64_t to, const uint8_t* marker, size_t m) {
  constexpr size_t kPiece = size_t{1} << 20;
  std::vector<uint8_t> piece(kPiece + m);
  while (from < to && to - from >= m) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(piece.size(), to - from));
    size_t got = 0;
    while (got < want) {
      const int64_t n = ebook::os::ReadAt(fd, piece.data() + got, want - got, from + got);
      if (n <= 0) return to;
      got += static_cast<size_t>(n);
    }
    auto found =
        std::search(piece.begin(), piece.begin() + static_cast<ptrdiff_t>(got), marker, marker + m);
    if (found != piece.begin() + static_cast<ptrdiff_t>(got))
      return from + static_cast<uint64_t>(found - piece.begin());
    // The next piece starts where a marker cut by this one's end would.
    if (got < m) return to;
    from += got - (m - 1);
  }
  return to;
}

}  // namespace

std::optional<uint32_t> RecordedStubLengthInFile(const std::string& path, bool* readable) {
  *readable = false;
  const ebook::os::Fd fd = ebook::os::OpenRead(path);
  if (fd == ebook::os::kNoFile) return {};
  uint64_t size = 0;
  std::optional<uint32_t> result;
  if (ebook::os::SizeOf(fd, size)) {
    *readable = true;
    const auto* marker = reinterpret_cast<const uint8_t*>(kStubLengthMarker);
    const size_t m = std::strlen(kStubLengthMarker);
    const uint64_t first = FindMarker(fd, 0, size, marker, m);
    uint8_t field[4];
    if (first != size && size - first >= m + 4 &&
        ebook::os::ReadAt(fd, field, 4, first + m) == 4) {
      const uint32_t length = uint32_t(field[0]) | uint32_t(field[1]) << 8 |
                              uint32_t(field[2]) << 16 | uint32_t(field[3]) << 24;
      const uint64_t end = std::min<uint64_t>(length, size);
      if (length >= first + m + 4 && FindMarker(fd, first + 1, end, marker, m) == end)
        result = length;
    }
  }
  ebook::os::Close(fd);
  return result;
}

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path, std::string* reason,
                                                  bool anyKind) {
  ebook::os::ClearError();
  const ebook::os::Fd fd = ebook::os::OpenRead(path, anyKind);
  std::vector<uint8_t> bytes;
  bool ok = fd != ebook::os::kNoFile;
  if (ok) {
    uint64_t size = 0;
    if (ebook::os::SizeOf(fd, size)) bytes.reserve(static_cast<size_t>(size));
    uint8_t piece[65536];
    int64_t n;
    while ((n = ebook::os::Read(fd, piece, sizeof piece)) > 0)
      bytes.insert(bytes.end(), piece, piece + n);
    ok = n == 0;
    ebook::os::Close(fd);
  }
  if (!ok) {
    if (reason != nullptr) *reason = ebook::os::LastErrorText();
    return {};
  }
  return bytes;
}

}  // namespace bookpack
