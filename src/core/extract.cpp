#include "extract.h"

#include <cstdlib>
#include <cstring>

#include "archive.h"
#include "inflate.h"

namespace ebook {
namespace {

constexpr char kExtractingPrefix[] = "Extracting: ";
constexpr char kCouldNotOpenCaption[] = "Couldn't open...";
constexpr char kCloseErrorCaption[] = "Error Closing...";
constexpr char kUnsupportedMethodMessage[] = "Unsupported compression method";
constexpr char kWriteFailedMessage[] =
    "This file could not be written completely; the disk may be full:\n";

void ShowStatus(SetupSession& session, const char* targetPath) {
  char text[sizeof kExtractingPrefix + kTargetPathSize];
  size_t prefix = sizeof kExtractingPrefix - 1;
  std::memcpy(text, kExtractingPrefix, prefix);
  size_t n = std::strlen(targetPath);
  std::memcpy(text + prefix, targetPath, n + 1);
  session.Host->SetControlText(kStatusLine, text);
}

}  // namespace

void CopyStoredEntry(EntryStream& stream) {
  if (stream.BytesRemaining <= 0) return;
  int32_t size = stream.BytesRemaining < kChunkSize ? stream.BytesRemaining : kChunkSize;
  auto* buffer = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size) + 2));
  if (buffer == nullptr) std::abort();  // nothing sensible is left to do
  while (stream.BytesRemaining > 0) {
    int32_t got = stream.ReadData(buffer, size);
    // An empty read ends the copy; the CRC verdict then fails.
    if (got == 0) break;
    if (!stream.WriteData(buffer, got)) break;
  }
  std::free(buffer);
}

bool ExtractEntry(SetupSession& session, PassContext& pass, uint32_t outputLimit) {
  Platform& host = *session.Host;
  const LocalFileHeader& header = session.CurrentHeader;
  bool result = true;

  pass.Verified = false;
  session.OutputHandle = host.CreateFileForWrite(pass.TargetPath);
  if (session.OutputHandle == nullptr) {
    host.ShowMessage(pass.TargetPath, kCouldNotOpenCaption);
    return true;
  }
  ShowStatus(session, pass.TargetPath);
  host.PumpOneMessage();

  ArchiveSource source(session);
  OutputSink sink(session);
  // Built with its first fields given: GCC copies a default-built record
  // from a template, which would cost the stub a writable data section.
  EntryStream stream{&source, &sink};
  const bool encrypted = (header.Flags & kEncryptedFlag) != 0;
  // The encryption header is counted in the size but was read already.
  int64_t remaining = int64_t{header.CompressedSize} - (encrypted ? kEncryptionHeaderSize : 0);
  stream.BytesRemaining = remaining > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(remaining);
  stream.Keys = encrypted ? &session.Keys : nullptr;
  stream.CrcRegister = 0xFFFFFFFFu;
  stream.OutputLimit = outputLimit < header.UncompressedSize ? outputLimit : header.UncompressedSize;

  bool judged = true;
  if (header.Method == 0) {
    CopyStoredEntry(stream);
  } else if (header.Method == 8) {
    InflateEntry(stream);
  } else {
    host.ShowMessage(kUnsupportedMethodMessage, kErrorCaption);
    result = false;
    judged = false;
  }
  session.CrcRegister = stream.CrcRegister;
  session.BytesRemaining = stream.BytesRemaining;
  pass.Verified = judged && stream.Verified(header.Crc32, header.UncompressedSize);
  if (pass.Verified) {
    host.ListSetSelected(session.CurrentEntryIndex, false);
  } else if (stream.WriteFailed) {
    // The archive may be sound: the disk is full, or the file cannot take
    // more. Said as such, and not again as a CRC error at the end.
    char text[sizeof kWriteFailedMessage + kTargetPathSize];
    std::memcpy(text, kWriteFailedMessage, sizeof kWriteFailedMessage - 1);
    std::memcpy(text + sizeof kWriteFailedMessage - 1, pass.TargetPath,
                std::strlen(pass.TargetPath) + 1);
    host.ShowMessage(text, kErrorCaption);
    host.ListSetSelected(session.CurrentEntryIndex, false);
  }

  if (!host.CloseFile(session.OutputHandle)) host.ShowMessage(pass.TargetPath, kCloseErrorCaption);
  session.OutputHandle = nullptr;
  return result;
}

}  // namespace ebook
