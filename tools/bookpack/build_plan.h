// The entries of a setup before they are encoded: where each one's bytes
// come from and what its header will say, in archive order.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/zip_cipher.h"
#include "zip_format.h"
#include "zip_reader.h"

namespace bookpack {

struct PlannedEntry {
  enum class Origin {
    kFile,    // a file of the source folder, or the licence file
    kFolder,  // an empty folder of the source folder
    kZip,     // an entry of the source ZIP
  };
  Origin From = Origin::kFile;
  // Name, flags (UTF-8, encryption of a ZIP entry), times and attributes;
  // method, CRC and sizes are set by the encoding.
  EntryRecord Record;
  std::string Path;                  // kFile
  const SourceEntry* Zip = nullptr;  // kZip
  bool NameIsUtf8 = true;
  bool Encrypt = false;  // encrypt with the build's password
  uint64_t Work = 0;     // source bytes, for the progress line
};

// What one entry became: the record with its real sizes and CRC, and its
// stored bytes, either owned here or in the mapped source ZIP.
struct EncodedEntry {
  EntryRecord Record;
  std::vector<uint8_t> Owned;
  const uint8_t* Data = nullptr;
  bool Descriptor = false;  // keeps flag bit 3 and a descriptor after the data
  std::string Problem;      // why the entry is refused; empty when it is fine
  std::string Note;         // something the publisher should know
  // A large file that is stored: the writer copies it from here a piece at
  // a time after the bytes above (the encryption header when encrypted,
  // the rest then going through `Keys`), so it is never held whole.
  std::string StoredFrom;
  // A large file's deflate stream, spooled to an unnamed temporary file
  // rather than held: the writer copies it likewise.
  std::shared_ptr<std::FILE> Spool;
  bool StoredEncrypted = false;
  ebook::CipherKeys Keys{};
};

class DeflateEncoder;
class RandomBytes;

struct EncodingContext {
  std::string Password;
  const uint8_t* ZipBytes = nullptr;
  RandomBytes* Random = nullptr;
  // Source bytes dealt with so far, for the progress line; workers add to
  // it as they go, a piece at a time for large entries.
  std::atomic<uint64_t>* Done = nullptr;
};

// Files from this size on are read, checked and compressed a piece at a
// time, and stored ones copied by the writer from the file.
inline constexpr uint64_t kLargeFile = uint64_t{16} << 20;

// Reads (or takes from the source ZIP), checks, compresses and encrypts one
// entry. Safe to call from several threads with one encoder each.
EncodedEntry EncodeEntry(const PlannedEntry& entry, const EncodingContext& context,
                         DeflateEncoder& encoder);

// The fewest bytes the entry can take in the setup, headers included: the
// size of what is copied or stored as it is, nothing for what is still to
// be compressed. Lets a setup that cannot fit be refused before any work.
uint64_t LeastSetupBytes(const PlannedEntry& entry, int level);

// Plans every file and empty folder of `root`.
bool PlanFolder(const std::string& root, std::vector<PlannedEntry>& plan,
                std::vector<std::string>& notes, std::string& error);

// Plans every entry of a source ZIP, refusing those that cannot become
// entries the stub reads.
bool PlanZip(const std::vector<SourceEntry>& source, std::vector<PlannedEntry>& plan,
             std::vector<std::string>& notes, std::string& error);

// Plans the licence file as the archive's first entry, "!!licence.txt".
bool PlanLicence(const std::string& path, PlannedEntry& entry, std::string& error);

}  // namespace bookpack
