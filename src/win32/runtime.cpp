// The little the compiler expects from a C++ runtime, for a program linked
// without one. Only what the stub's code actually refers to lives here.
//
// The stub is compiled as one whole program: what the compiler's own code
// calls, from outside the program it sees, is marked visible.
#include <windows.h>

// Called if a pure virtual function were ever reached through a half-built
// object; the stub has no such path, but the vtables name it.
extern "C" __attribute__((externally_visible)) void __cxa_pure_virtual() { ExitProcess(3); }

// The engine's answer to memory it cannot have. msvcrt's abort would first
// show a message of the C runtime's own; the process ends with the same
// code without it, and without one more import.
extern "C" __attribute__((externally_visible, noreturn)) void abort() { ExitProcess(3); }

// std::string_view::substr reports an offset past the end through this;
// the engine never passes one, and without exceptions there is nothing to
// unwind: the process ends, as libstdc++ itself would end it.
namespace std {
[[noreturn]] __attribute__((externally_visible)) void __throw_out_of_range_fmt(const char*, ...) {
  ExitProcess(3);
}
}  // namespace std
