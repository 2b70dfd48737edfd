#include "licence_report.h"

#include "core/licence.h"
#include "core/setup_session.h"
#include "printable.h"

namespace bookpack {
namespace {

constexpr size_t kShownTail = 60;

std::string Tail(std::string_view line) {
  if (line.size() <= kShownTail) return Printable(line);
  line.remove_prefix(line.size() - kShownTail);
  // Not in the middle of a UTF-8 sequence.
  while (!line.empty() && (static_cast<unsigned char>(line[0]) & 0xC0) == 0x80)
    line.remove_prefix(1);
  return "..." + Printable(line);
}

}  // namespace

std::string WithThousands(uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

LicenceFacts ReadLicenceFacts(std::string_view stored, uint64_t storedSize) {
  LicenceFacts facts;
  facts.StoredSize = storedSize;
  facts.Directive = ReadDirective(stored);
  std::string_view read = stored.substr(0, ebook::kLicenceReadSize);
  const size_t zero = read.find('\0');
  if (zero != std::string_view::npos) {
    facts.Cut = facts.CutAtZero = true;
    read = read.substr(0, zero);
  } else if (storedSize > static_cast<uint64_t>(ebook::kLicenceReadSize)) {
    facts.Cut = true;
  }
  if (facts.Cut) {
    facts.CutAt = read.size();
    size_t lines = 1;
    for (char c : read) lines += c == '\n';
    facts.CutLine = lines;
    const size_t lineStart = read.rfind('\n');
    std::string_view line = read.substr(lineStart == std::string_view::npos ? 0 : lineStart + 1);
    facts.CutLineText = Tail(line);
  }
  std::string_view text = read;
  if (text.substr(0, 3) == "\xEF\xBB\xBF" && ebook::LooksLikeUtf8(text)) text.remove_prefix(3);
  std::string_view first = text.substr(0, text.find('\n'));
  if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
  facts.FirstLine = std::string(first);
  facts.LooksAccidental = facts.Directive.Letter != 0 && first.size() >= 2 && first[1] != ' ';
  return facts;
}

std::string CutProblem(const LicenceFacts& facts) {
  if (!facts.Cut) return "";
  std::string where = "in line " + std::to_string(facts.CutLine) + ": '" + facts.CutLineText + "'";
  if (facts.CutAtZero)
    return "the licence is cut at a zero byte after " + WithThousands(facts.CutAt) + " bytes, " +
           where + "; the reader never sees the rest";
  return "the licence is cut after " + WithThousands(ebook::kLicenceReadSize) + " bytes (of " +
         WithThousands(facts.StoredSize) + "), " + where +
         "; the stub reads no more, and the reader never sees the rest";
}

std::string DirectiveMeaning(const LicenceDirective& directive) {
  const std::string letter(1, directive.Letter);
  const std::string quoted = "'" + Printable(directive.Argument) + "'";
  switch (directive.Letter) {
    case 'a':
    case 'e':
      if (directive.Argument.empty())
        return "directive " + letter +
               ": the first line is hidden; it names no command, so none is set (the first "
               "quon*.exe installed still runs)";
      if (!directive.SetsRunCommand())
        return "directive " + letter + ": the first line is hidden; its command is " +
               std::to_string(directive.Argument.size()) + " bytes, longer than the " +
               std::to_string(ebook::kRunCommandSize - 1) +
               " the stub holds, so none is set (the first quon*.exe installed still runs)";
      return "directive " + letter + ": runs " + quoted +
             " after installing instead of a quon*.exe program, and hides the first line" +
             (directive.Letter == 'e' ? " (e does the same as a)" : "");
    case 'd':
      return "directive d: hides the first line; nothing else";
    case 'p':
    case 'r':
      return "directive " + letter + ": updates the application that App Paths registers as " +
             quoted +
             ": the installation folder becomes the folder of its registered path, every file "
             "is installed flat into it and existing files are replaced without asking; the "
             "first line is hidden" +
             (directive.Letter == 'p'
                  ? "; the folder's label is hidden, and a reader without the application is "
                    "told \"" +
                        std::string(ebook::kReplaceTargetMissingMessage) + "\""
                  : "; a reader without the application is told \"" +
                        std::string(ebook::kBaseNotInstalledMessage) + "\"");
    default:
      return "";
  }
}

std::string AccidentalDirectiveProblem(const LicenceFacts& facts) {
  if (!facts.LooksAccidental) return "";
  return "the first line '" + Tail(facts.FirstLine) + "' is read as directive '" +
         std::string(1, facts.Directive.Letter) + "' (" + DirectiveMeaning(facts.Directive) +
         "): the letter is not followed by a space, so it looks like text; start the licence "
         "with a blank line if it is text";
}

}  // namespace bookpack
