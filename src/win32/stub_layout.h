// Where the appended archive begins: right after the stub and its 8-byte
// size area. The stub's final length is only known once it is linked, so
// the build writes it into this slot afterwards (tools/finish_stub.py finds
// the slot by its marker) and checks the result.
#pragma once

#include <cstdint>

namespace ebook::win32 {

struct StubLengthSlot {
  char Marker[12];  // "StubLength::", found once in the image
  uint32_t Length;  // 0 until the build fills it in
};

// Volatile, so that the compiler reads the slot instead of folding the 0 it
// was linked with into the code.
extern const volatile StubLengthSlot kStubLengthSlot;

inline uint32_t StubLength() { return kStubLengthSlot.Length; }

}  // namespace ebook::win32
