// Reading a ZIP file that a publisher made with some other tool. The central
// directory is the authority here: it holds the sizes that streaming writers
// only put after the data, and the Zip64 values; the local headers are only
// used to find where each entry's data starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/host_os.h"
#include "zip_format.h"

namespace bookpack {

// A read-only view of a whole file.
class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  bool Open(const std::string& path) { return bytes_.Open(path); }
  const uint8_t* Data() const { return bytes_.Data(); }
  size_t Size() const { return bytes_.Size(); }

 private:
  ebook::os::MappedBytes bytes_;
};

struct SourceEntry {
  // As the output will carry it: 32-bit sizes, Zip64 blocks dropped, the
  // name in UTF-8 with its flag when the source said so in any of the ways
  // writers say it. Flags are the source's.
  EntryRecord Record;
  uint64_t DataOffset = 0;    // of the stored data, encryption header included
  uint64_t HeaderOffset = 0;  // of the local header, from the file's start
  bool NameIsUtf8 = true;     // false: code-page bytes that Windows decodes its own way
};

// Lists the entries of the archive in `bytes`, in central directory order.
// False with a reason in `error` when the file is not a ZIP archive that a
// single-volume reader can take apart.
bool ReadSourceArchive(const uint8_t* bytes, size_t size, std::vector<SourceEntry>& entries,
                       std::string& error);

// The extra field without the blocks of the given tag (an ill-formed tail is
// dropped too).
std::vector<uint8_t> WithoutExtraBlock(const uint8_t* extra, size_t length, uint16_t tag);

// The body of the first block of the given tag, or false.
bool FindExtraBlock(const uint8_t* extra, size_t length, uint16_t tag, const uint8_t** body,
                    size_t* bodyLength);

}  // namespace bookpack
