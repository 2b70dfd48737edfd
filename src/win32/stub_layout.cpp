#include "stub_layout.h"

namespace ebook::win32 {

// In the read-only data: the stub then has no writable data section at all,
// which saves a whole file-alignment block (512 bytes).
__attribute__((section(".rdata"))) extern const volatile StubLengthSlot kStubLengthSlot = {
    {'S', 't', 'u', 'b', 'L', 'e', 'n', 'g', 't', 'h', ':', ':'}, 0};

}  // namespace ebook::win32
