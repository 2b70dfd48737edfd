#include "licence.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "app_paths.h"
#include "extract.h"
#include "paths.h"
#include "utf8.h"

namespace ebook {
namespace {

// The update directives: find the installed application's folder and point
// the installation there, or say that it is missing.
void DetectInstalledFolder(SetupSession& session, std::string_view application,
                           const char* missingMessage) {
  Platform& host = *session.Host;
  char found[kAppPathSize];
  int32_t n = LookupAppPath(host, application, found);
  if (n > 0 && PathExists(host, found)) {
    char folder[kAppPathSize + 1];
    int32_t f = DirectoryOfPath(std::string_view(found, static_cast<size_t>(n)), folder,
                                static_cast<int32_t>(sizeof folder) - 1);
    if (f >= 0) {
      folder[f] = '\\';
      folder[f + 1] = '\0';
      host.SetControlText(kInstallPathEdit, folder);
      host.SetControlText(kNoticeLine, kPathAutodetectedNotice);
      session.PathAutodetected = true;
      return;
    }
  }
  session.UpdateMissing = missingMessage;
  ShowError(host, missingMessage);
}

}  // namespace

bool LooksLikeUtf8(std::string_view text) {
  if (TextPart(text, 0, 3) == "\xEF\xBB\xBF") return true;
  // Well-formed sequences only: a code-page text seldom passes by accident.
  bool beyondAscii = false;
  for (size_t i = 0; i < text.size();) {
    const size_t n = Utf8SequenceLength(text, i);
    if (n == 0) return false;
    beyondAscii = beyondAscii || n > 1;
    i += n;
  }
  return beyondAscii;
}

void ReadLicenceFile(SetupSession& session, const char* path) {
  Platform& host = *session.Host;
  FileHandle file = host.OpenFileForRead(path);
  if (file == nullptr) return;
  session.OutputHandle = file;

  // The stored bytes, then the same text in UTF-8 (each byte may grow to
  // three), in one allocation.
  constexpr int32_t kTextSize = 3 * kLicenceReadSize + 1;
  auto* buffer = static_cast<char*>(std::malloc(kLicenceReadSize + 1 + kTextSize));
  if (buffer == nullptr) std::abort();  // nothing sensible is left to do
  int32_t got = host.ReadFile(file, buffer, kLicenceReadSize);
  if (got < 0) got = 0;
  std::string_view stored(buffer, std::strlen((buffer[got] = '\0', buffer)));
  const bool utf8 = LooksLikeUtf8(stored);
  if (utf8 && TextPart(stored, 0, 3) == "\xEF\xBB\xBF") stored.remove_prefix(3);
  char* decoded = buffer + kLicenceReadSize + 1;
  int32_t d = host.DecodeStoredText(stored, utf8, decoded, kTextSize);
  const std::string_view text(decoded, d > 0 ? static_cast<size_t>(d) : 0);

  const size_t lineFeed = text.find('\n');
  const std::string_view firstLine =
      lineFeed == std::string_view::npos ? text : TextPart(text, 0, lineFeed);
  const std::string_view rest =
      lineFeed == std::string_view::npos ? std::string_view() : TextPart(text, lineFeed + 1);
  // The argument drops the letter, one character after it, and the line's
  // last character (the carriage return of a CR LF line end).
  const std::string_view argument =
      firstLine.size() >= 4 ? TextPart(firstLine, 2, firstLine.size() - 3) : std::string_view();

  std::string_view shown = rest;
  switch (text.empty() ? '\0' : text[0]) {
    case 'a':
    case 'e':
      // A command that does not fit is not set at all: a cut command line
      // would start something else.
      if (argument.size() < sizeof session.RunCommand) {
        argument.copy(session.RunCommand, argument.size());
        session.RunCommand[argument.size()] = '\0';
      }
      break;
    case 'd':
      break;
    case 'p':
      DetectInstalledFolder(session, argument, kReplaceTargetMissingMessage);
      host.SetControlText(kInstallPathLabel, "");
      break;
    case 'r':
      DetectInstalledFolder(session, argument, kBaseNotInstalledMessage);
      break;
    default:
      shown = text;
      break;
  }
  host.SetControlText(kLicenceBox, shown);
  std::free(buffer);
  host.CloseFile(file);
  session.OutputHandle = nullptr;
}

}  // namespace ebook
