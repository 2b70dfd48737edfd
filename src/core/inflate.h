// Inflate decoder for the raw Deflate streams (RFC 1951) of method-8 entries.
//
// The decoder pulls the entry's compressed bytes through an EntryStream (which
// decrypts them right after each read) and hands the output to the stream in
// pieces of exactly 32 KiB, the last piece shorter; the stream keeps the CRC
// over what was written. It never asks the source for more than the entry's
// data and never consumes a bit beyond it.
//
// Entries may be decoded at the same time (on several threads, or one from
// inside another's write), except in the stub's i686 build, whose decoder
// has a single state at a linked address and decodes one entry at a time.
#pragma once

#include "entry_stream.h"

namespace ebook {

enum class InflateResult {
  kDone,         // the last block was decoded
  kBadData,      // the stream is damaged; the bytes before the damage were written
  kWriteFailed,  // the sink wrote less than it was given; decoding stopped
};

// Decodes one entry. Preconditions: `stream.BytesRemaining` counts the entry's
// data bytes (after the encryption header of an encrypted entry), `Keys` is
// primed when the entry is encrypted, and `CrcRegister` has its start value.
InflateResult InflateEntry(EntryStream& stream);

}  // namespace ebook
