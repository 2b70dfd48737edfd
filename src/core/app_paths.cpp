#include "app_paths.h"

#include <cstring>

namespace ebook {
namespace {

constexpr char kAppPathsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";
constexpr int kKeyPathSize = sizeof kAppPathsKey + 512;

}  // namespace

int32_t LookupAppPath(Platform& host, std::string_view application, char* out) {
  out[0] = '\0';
  const size_t prefix = sizeof kAppPathsKey - 1;
  if (application.empty() || application.size() > kKeyPathSize - prefix - 1) return 0;
  char key[kKeyPathSize];
  std::memcpy(key, kAppPathsKey, prefix);
  std::memcpy(key + prefix, application.data(), application.size());
  const std::string_view keyPath(key, prefix + application.size());

  const RegistryPlace places[] = {RegistryPlace::kCurrentUser, RegistryPlace::kLocalMachine64,
                                  RegistryPlace::kLocalMachine32};
  for (RegistryPlace place : places) {
    // The answer is the value's text up to its first NUL.
    if (host.ReadRegistryString(place, keyPath, "Path", out, kAppPathSize) > 0) {
      int32_t n = static_cast<int32_t>(std::strlen(out));
      if (n > 0) return n;
    }
  }
  out[0] = '\0';
  return 0;
}

}  // namespace ebook
