#include "stub_info.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

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

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path, std::string* reason) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes;
  if (in) bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (!in.is_open() || in.bad()) {
    if (reason != nullptr) *reason = std::strerror(errno != 0 ? errno : EIO);
    return {};
  }
  return bytes;
}

}  // namespace bookpack
