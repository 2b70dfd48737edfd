// What bookpack needs to know about a stub: the length it was built with.
// The stub carries it in a slot marked "StubLength::" that the Windows
// build fills in after linking; a packaged file's archive starts 8 bytes
// after that length.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bookpack {

inline constexpr char kStubLengthMarker[] = "StubLength::";

// The length recorded in the stub image `bytes` (a bare stub or the start of
// a packaged file); nothing when the marker is missing or occurs twice.
std::optional<uint32_t> RecordedStubLength(const std::vector<uint8_t>& bytes);

// The same for the file at `path`, read in pieces whatever its size: a
// packaged setup's archive is never loaded to find its stub. `readable` is
// set to whether the file could be read at all.
std::optional<uint32_t> RecordedStubLengthInFile(const std::string& path, bool* readable);

// Reads a whole file; nothing when it cannot be read, and then the system's
// reason in `reason` when one is given. With `anyKind` also a pipe.
std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path,
                                                  std::string* reason = nullptr,
                                                  bool anyKind = false);

}  // namespace bookpack
