// The kind of a Win32 error code, as the engine acts on it: one mapping for
// the stub's Win32 layer and for bookpack's system layer on Windows.
#pragma once

#include <windows.h>

#include "core/platform.h"

namespace ebook::win32 {

inline FileError FileErrorOfCode(DWORD code) {
  switch (code) {
    case 0:
      return FileError::kNone;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return FileError::kExists;
    case ERROR_PATH_NOT_FOUND:
      return FileError::kNoFolder;
    case ERROR_ACCESS_DENIED:
      return FileError::kAccessDenied;
    default:
      return FileError::kOther;
  }
}

}  // namespace ebook::win32
