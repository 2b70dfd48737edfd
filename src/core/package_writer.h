// Writes a packaged setup: the stub, the size field, four spare bytes and the
// ZIP archive. The size field holds the packaged file's total length, which
// the stub compares with its own length before it trusts the archive.
#pragma once

#include <cstdint>

#include "entry_stream.h"

namespace ebook {

// False when the total would not fit the 32-bit size field's signed range
// or the sink wrote less.
bool WritePackagedFile(ByteSink& out, const uint8_t* stub, uint32_t stubLength, const uint8_t* zip,
                       uint32_t zipLength);

}  // namespace ebook
