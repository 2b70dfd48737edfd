// Writes a packaged setup: the stub, the size field, four spare bytes, then
// the archive, whose central directory and end record give offsets in the
// packaged file so that ordinary ZIP tools open it as it is.
//
//   0             stub, StubLength bytes
//   StubLength    total length of the file, LE 32-bit; the stub checks it
//   +4            4 zero bytes
//   +8            local header, name, extra, data [, descriptor] ... per entry
//                 central directory
//                 end record, its comment: the publisher's settings, if any,
//                 then spaces padding the file to a multiple of 8
//
// The padding is for Authenticode: a signing tool aligns the file to 8 bytes
// before it appends the certificate table, and the stub accepts a signed
// setup only when that table starts exactly where the size field says the
// setup ends.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "core/zip_cipher.h"
#include "host/host_os.h"
#include "zip_format.h"

namespace bookpack {

// The size field is read as a signed 32-bit length by the stub's platform.
inline constexpr uint64_t kLargestSetup = 0x7FFFFFFFu;

class PackagedFileWriter {
 public:
  PackagedFileWriter() = default;
  // Removes the unfinished output.
  ~PackagedFileWriter();
  PackagedFileWriter(const PackagedFileWriter&) = delete;
  PackagedFileWriter& operator=(const PackagedFileWriter&) = delete;

  // Starts `path` (written next to it under a temporary name until Finish)
  // with the stub and a size field still zero.
  bool Open(const std::string& path, const std::vector<uint8_t>& stub, std::string& error);

  // Appends one entry. `record` holds the real sizes and CRC; `data` its
  // stored bytes (encryption header included). With `descriptor` the entry
  // keeps flag bit 3 and a signed 16-byte descriptor follows its data.
  bool AddEntry(const EntryRecord& record, const uint8_t* data, bool descriptor,
                std::string& error);

  // Appends one entry whose bytes are the `headLength` bytes at `head` (an
  // encryption header, or none) and then what `fd` reads from its start,
  // copied a piece at a time and, with `keys`, encrypted on the way. With
  // `plain` those are the entry's plain bytes, which must still have
  // `record`'s size and CRC (a file that changed since it was read is
  // refused, naming `shownPath`).
  bool AddEntryFromFile(const EntryRecord& record, const uint8_t* head, size_t headLength,
                        ebook::os::Fd fd, bool plain, const std::string& shownPath,
                        ebook::CipherKeys* keys, std::string& error);

  // Writes the central directory and end record (its comment `settings`,
  // then the padding), fills in the size field and moves the file into place.
  bool Finish(const std::string& settings, std::string& error);

  uint64_t Size() const { return position_; }
  size_t EntryCount() const { return entries_; }

 private:
  bool Write(const void* data, size_t size);
  // The local header, then `writeData` for the stored bytes, then the
  // descriptor; the central record is kept for Finish.
  bool AddEntryWith(const EntryRecord& record, bool descriptor, std::string& error,
                    const std::function<bool(std::string&)>& writeData);

  std::FILE* file_ = nullptr;
  std::string path_, partial_;
  uint64_t stubLength_ = 0;
  uint64_t position_ = 0;
  std::vector<uint8_t> central_;
  size_t entries_ = 0;
  bool finished_ = false;
};

}  // namespace bookpack
