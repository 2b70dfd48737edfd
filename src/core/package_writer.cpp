#include "package_writer.h"

namespace ebook {
namespace {

bool WriteAll(ByteSink& out, const uint8_t* data, uint32_t length) {
  while (length > 0) {
    int32_t piece = length > uint32_t{kChunkSize} ? kChunkSize : static_cast<int32_t>(length);
    if (out.Write(data, piece) != piece) return false;
    data += piece;
    length -= static_cast<uint32_t>(piece);
  }
  return true;
}

}  // namespace

bool WritePackagedFile(ByteSink& out, const uint8_t* stub, uint32_t stubLength, const uint8_t* zip,
                       uint32_t zipLength) {
  const uint64_t total = uint64_t{stubLength} + 8 + zipLength;
  if (total > 0x7FFFFFFFu) return false;
  const uint32_t t = static_cast<uint32_t>(total);
  const uint8_t trailer[8] = {static_cast<uint8_t>(t),
                              static_cast<uint8_t>(t >> 8),
                              static_cast<uint8_t>(t >> 16),
                              static_cast<uint8_t>(t >> 24),
                              0,
                              0,
                              0,
                              0};
  return WriteAll(out, stub, stubLength) && WriteAll(out, trailer, 8) &&
         WriteAll(out, zip, zipLength);
}

}  // namespace ebook
