#include "inspect.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <thread>
#include <vector>

#include "core/archive.h"
#include "core/archive_pass.h"
#include "core/crc32.h"
#include "core/extract.h"
#include "core/inflate.h"
#include "core/licence.h"
#include "core/paths.h"
#include "core/setup_flow.h"
#include "entry_rules.h"
#include "files_in_memory.h"
#include "host/host_os.h"
#include "host/native_platform.h"
#include "json_writer.h"
#include "licence_report.h"
#include "printable.h"
#include "settings_report.h"
#include "stub_info.h"
#include "zip_reader.h"

namespace bookpack {
namespace {

namespace fs = std::filesystem;
using ebook::LocalFileHeader;
using ebook::NativePlatform;
using ebook::SetupSession;

// A scratch folder that goes away with its owner.
class ScratchFolder {
 public:
  ScratchFolder() {
    const std::string made = ebook::os::MakeTempFolder("bookpack_");
    if (!made.empty()) path_ = fs::u8path(made);
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

// One setup opened the way the stub opens itself: the stub length it was
// built with, and the packaged file as the archive handle.
struct OpenedSetup {
  explicit OpenedSetup(const fs::path& root) : Host(root, "C:\\Temp\\") {
    ebook::BuildCrcTable();
    Session.Host = &Host;
  }
  ~OpenedSetup() {
    if (Session.ArchiveHandle != nullptr) Host.CloseFile(Session.ArchiveHandle);
  }
  NativePlatform Host;
  SetupSession Session;
};

bool OpenPackaged(OpenedSetup& setup, const std::string& path, std::ostream& err) {
  bool readable = false;
  ebook::os::ClearError();
  auto stubLength = RecordedStubLengthInFile(path, &readable);
  if (!readable) {
    err << "bookpack: cannot read " << path << ": " << ebook::os::LastErrorText() << "\n";
    return false;
  }
  if (!stubLength) {
    err << "bookpack: " << path << " is not a packaged setup: no stub length found\n";
    return false;
  }
  setup.Session.StubLength = *stubLength;
  setup.Session.ArchiveHandle = setup.Host.OpenHostFile(fs::absolute(fs::u8path(path)).u8string());
  if (setup.Session.ArchiveHandle == nullptr) {
    err << "bookpack: cannot open " << path << "\n";
    return false;
  }
  return true;
}

// The message that says where the book went confirms a sound install: it is
// no problem, and the publisher's tool does not repeat it.
void DropDoneMessage(NativePlatform& host) {
  auto& shown = host.Messages;
  if (!shown.empty() && shown.back().Caption == ebook::kSetupCaption &&
      shown.back().Text.rfind(ebook::kInstalledMessage, 0) == 0)
    shown.pop_back();
}

std::string MessagesOf(const NativePlatform& host, size_t from) {
  std::string text;
  for (size_t i = from; i < host.Messages.size(); ++i) {
    std::string line = host.Messages[i].Caption + ": " + host.Messages[i].Text;
    for (char& c : line) c = c == '\n' ? ' ' : c;
    text += "  reader sees: " + Printable(line) + "\n";
  }
  return text;
}

const char* MethodName(uint16_t method) {
  return method == 0 ? "stored" : method == 8 ? "deflate" : "other";
}

using ebook::WalkedEntry;

// The stub's own walk (ebook::ReadNextEntry), calling `visit` with the read
// position at each entry's data. Returns false when the pass-start checks
// refuse the file; `stopped` tells whether the walk ended before the
// archive's end records because a record could not be read or followed.
bool WalkEntries(SetupSession& session, const std::function<void(const WalkedEntry&)>& visit,
                 bool* stopped = nullptr) {
  if (!ebook::RunPassStartChecks(session)) return false;
  WalkedEntry entry;
  ebook::WalkStep step;
  while ((step = ebook::ReadNextEntry(session, entry)) == ebook::WalkStep::kEntry) {
    visit(entry);
    if (!ebook::SkipToNextEntry(session, entry)) {
      step = ebook::WalkStep::kStopped;
      break;
    }
  }
  if (stopped != nullptr) *stopped = step == ebook::WalkStep::kStopped;
  return true;
}

// Writes nothing, or keeps the first bytes when asked (the licence); the
// stream's CRC is all that is wanted otherwise.
class DiscardSink final : public ebook::ByteSink {
 public:
  explicit DiscardSink(std::string* kept = nullptr) : kept_(kept) {}
  int32_t Write(const uint8_t* data, int32_t count) override {
    if (kept_ != nullptr && kept_->size() <= static_cast<size_t>(ebook::kLicenceReadSize)) {
      const size_t room = ebook::kLicenceReadSize + 1 - kept_->size();
      kept_->append(reinterpret_cast<const char*>(data),
                    std::min(room, static_cast<size_t>(count)));
    }
    return count;
  }

 private:
  std::string* kept_;
};

// The problem with one entry as the stub would meet it, or empty.
std::string VerifyEntry(SetupSession& session, const WalkedEntry& entry,
                        const std::string& password, std::string* kept = nullptr) {
  const LocalFileHeader& header = session.CurrentHeader;
  const std::string name = entry.Name;
  if (entry.Stored[0] == '\0') return "empty name: the install stops here";
  if (!entry.NameFits) return "name too long for the stub";
  if (!ebook::IsSafeEntryName(name))
    return "name points outside the installation folder or is not one Windows creates as given";
  const bool folder = name.back() == '/' || name.back() == '\\';
  if (entry.SizesUnreadable) return "Zip64 sizes missing or beyond 2 GiB: the install stops here";
  if (entry.SizesUnknown) return "sizes only after the data: the install stops here";
  if (folder) return "";
  if (header.Method != 0 && header.Method != 8)
    return "compression method " + std::to_string(header.Method) + " is not supported";
  const bool encrypted = (header.Flags & ebook::kEncryptedFlag) != 0;
  if (encrypted) {
    uint8_t work[2 * ebook::kEncryptionHeaderSize];
    if (session.Host->ReadFile(session.ArchiveHandle, work + ebook::kEncryptionHeaderSize,
                               ebook::kEncryptionHeaderSize) != ebook::kEncryptionHeaderSize)
      return "cut short";
    // The safest ways first: a password on the command line is seen by
    // every user of the computer.
    if (password.empty())
      return "encrypted: give the password (--password-file FILE, --password-prompt or "
             "--password-env NAME) to check it";
    if (!ebook::TestEncryptionHeader(work, ebook::kEncryptionHeaderSize, header.Flags, header.Crc32,
                                     header.ModTime, password.c_str(), session.Keys))
      return "wrong password";
  }
  ebook::ArchiveSource source(session);
  DiscardSink sink(kept);
  ebook::EntryStream stream;
  stream.Source = &source;
  stream.Sink = &sink;
  int64_t remaining =
      int64_t{header.CompressedSize} - (encrypted ? ebook::kEncryptionHeaderSize : 0);
  stream.BytesRemaining = remaining > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(remaining);
  stream.Keys = encrypted ? &session.Keys : nullptr;
  stream.OutputLimit = header.UncompressedSize;
  if (header.Method == 0) {
    ebook::CopyStoredEntry(stream);
  } else if (ebook::InflateEntry(stream) == ebook::InflateResult::kBadData) {
    return "damaged deflate data";
  }
  if (stream.Overran) return "more data than its header's size: counted as damage";
  return stream.Verified(header.Crc32, header.UncompressedSize) ? "" : "CRC error";
}

// Whether the listing pass reads this entry as the licence (archive_pass.cpp,
// ListEntry): the first one that it can show.
bool IsShownLicence(const SetupSession& session, const WalkedEntry& entry) {
  const LocalFileHeader& header = session.CurrentHeader;
  return ebook::IsLicenceEntryName(entry.Name) && !entry.SizesUnknown && !entry.SizesUnreadable &&
         (header.Flags & ebook::kEncryptedFlag) == 0 &&
         (header.Method == 0 || header.Method == 8) && entry.NameFits &&
         ebook::IsSafeEntryName(entry.Name);
}

constexpr char kAppPathsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";

// The reader's machine as far as bookpack knows it: the applications the
// publisher registered, and the programs of Windows in the system folder.
bool PrepareMachine(NativePlatform& host, const InspectOptions& options, std::ostream& err) {
  for (const auto& [name, folder] : options.AppPaths) {
    host.Registry[{ebook::RegistryPlace::kLocalMachine64, kAppPathsKey + name, "Path"}] = folder;
    const std::string hostFolder = host.HostPath(folder);
    std::error_code ec;
    if (hostFolder.empty() || (fs::create_directories(fs::u8path(hostFolder), ec), ec)) {
      err << "bookpack: --app-path " << Printable(name) << "=" << Printable(folder)
          << ": not a folder that can be made on a Windows drive\n";
      return false;
    }
  }
  // Windows' own programs where Windows keeps them: hh.exe in the Windows
  // folder, the others in System32.
  for (std::string_view program : SystemPrograms()) {
    const std::string folder =
        host.HostPath(program == "hh.exe" ? "C:\\Windows" : "C:\\Windows\\System32");
    std::error_code ec;
    fs::create_directories(fs::u8path(folder), ec);
    const ebook::os::Fd f = ebook::os::CreateWrite(ebook::os::Join(folder, std::string(program)));
    if (f != ebook::os::kNoFile) ebook::os::Close(f);
  }
  return true;
}

// "settings: none: ..." or one line per setting.
void WriteSettingsText(const std::vector<std::string>& lines, std::ostream& out) {
  if (lines.empty()) {
    out << "settings: " << kNoSettings << "\n";
    return;
  }
  out << "settings:\n";
  for (const std::string& line : lines) out << "  " << Printable(line) << "\n";
}

std::string Plural(size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

}  // namespace

int RunList(const InspectOptions& options, std::ostream& out, std::ostream& err) {
  ScratchFolder scratch;
  OpenedSetup setup(scratch.Path() / "root");
  if (!OpenPackaged(setup, options.SetupPath, err)) return 2;
  ebook::LoadPublisherSettings(setup.Session);
  const LocalFileHeader& header = setup.Session.CurrentHeader;
  uint64_t total = 0;
  int count = 0;
  bool anyEncrypted = false;
  JsonWriter json;
  json.BeginObject().Key("setup").String(options.SetupPath);
  json.Key("stub_length").Number(setup.Session.StubLength).Key("entries").BeginArray();
  const bool shown = !options.Json && !options.Quiet;
  const std::vector<std::string> settings = DescribeSettings(setup.Session.Settings);
  if (shown) {
    WriteSettingsText(settings, out);
    out << "    size  packed  method   name\n";
  }
  bool walked = WalkEntries(setup.Session, [&](const WalkedEntry& entry) {
    const bool encrypted = (header.Flags & ebook::kEncryptedFlag) != 0;
    json.BeginObject()
        .Key("name")
        .String(entry.Name)
        .Key("size")
        .Number(header.UncompressedSize)
        .Key("packed")
        .Number(header.CompressedSize)
        .Key("method")
        .String(MethodName(header.Method))
        .Key("method_id")
        .Number(header.Method)
        .Key("encrypted")
        .Bool(encrypted)
        .EndObject();
    if (shown) {
      out << std::string(8 - std::min<size_t>(8, std::to_string(header.UncompressedSize).size()),
                         ' ')
          << header.UncompressedSize << ' '
          << std::string(7 - std::min<size_t>(7, std::to_string(header.CompressedSize).size()), ' ')
          << header.CompressedSize << "  " << MethodName(header.Method) << (encrypted ? "*" : " ")
          << std::string(header.Method == 8   ? 1
                         : header.Method == 0 ? 2
                                              : 3,
                         ' ')
          << Printable(entry.Name) << "\n";
    }
    total += header.UncompressedSize;
    ++count;
    anyEncrypted = anyEncrypted || (header.Flags & ebook::kEncryptedFlag) != 0;
  });
  if (!walked) {
    err << MessagesOf(setup.Host, 0);
    return 2;
  }
  json.EndArray().Key("count").Number(count).Key("total").Number(static_cast<int64_t>(total));
  json.Key("settings");
  WriteSettingsJson(json, settings.empty() ? nullptr : &setup.Session.Settings);
  json.EndObject();
  if (options.Json) {
    out << json.Text() << "\n";
  } else if (shown) {
    out << count << (count == 1 ? " entry, " : " entries, ") << total << " bytes"
        << (anyEncrypted ? " (* encrypted)" : "") << "\n";
  }
  return 0;
}

namespace {

struct CheckProblem {
  bool HasEntry = false;
  std::string Entry;
  std::string Text;
};

struct CheckReport {
  int Entries = 0;
  bool Walked = false;
  std::vector<CheckProblem> Problems;
  std::vector<std::string> Messages;  // what the reader's install shows
  bool HasLicence = false;
  std::string LicenceName;
  LicenceFacts Licence;
  std::string LicenceSays;  // the directive in plain words, or how the text is shown
  std::string Runs;         // what runs after installing, as the engine resolves it
  bool Starts = false;
  std::string UpdateFolder;  // p, r: where the update goes; empty when not found
  ebook::PublisherSettings Settings{};
  std::vector<std::string> SettingLines;  // empty: the setup has none
  std::string InstallFolder;              // where the check's install went

  void Add(std::string text) { Problems.push_back({false, "", std::move(text)}); }
  void Add(std::string entry, std::string text) {
    Problems.push_back({true, std::move(entry), std::move(text)});
  }
};

void WriteCheckJson(const InspectOptions& options, const CheckReport& r, std::ostream& out) {
  JsonWriter json;
  json.BeginObject().Key("setup").String(options.SetupPath);
  json.Key("ok").Bool(r.Problems.empty()).Key("entries").Number(r.Entries);
  json.Key("problems").BeginArray();
  for (const CheckProblem& p : r.Problems) {
    json.BeginObject().Key("entry");
    if (p.HasEntry)
      json.String(p.Entry);
    else
      json.Null();
    json.Key("problem").String(p.Text).EndObject();
  }
  json.EndArray().Key("reader_sees").BeginArray();
  for (const std::string& m : r.Messages) json.String(m);
  json.EndArray().Key("licence");
  if (!r.HasLicence) {
    json.Null();
  } else {
    const LicenceFacts& f = r.Licence;
    json.BeginObject()
        .Key("name")
        .String(r.LicenceName)
        .Key("size")
        .Number(static_cast<int64_t>(f.StoredSize));
    json.Key("cut")
        .Bool(f.Cut)
        .Key("cut_after")
        .Number(static_cast<int64_t>(f.Cut ? f.CutAt : f.StoredSize));
    json.Key("cut_line");
    if (f.Cut)
      json.Number(static_cast<int64_t>(f.CutLine));
    else
      json.Null();
    json.Key("directive");
    if (f.Directive.Letter == 0) {
      json.Null();
    } else {
      json.BeginObject()
          .Key("letter")
          .String(std::string(1, f.Directive.Letter))
          .Key("first_line")
          .String(f.FirstLine)
          .Key("argument")
          .String(f.Directive.Argument)
          .Key("looks_accidental")
          .Bool(f.LooksAccidental)
          .EndObject();
    }
    json.Key("says").String(r.LicenceSays).EndObject();
  }
  json.Key("runs").String(r.Runs).Key("starts").Bool(r.Starts);
  json.Key("update_folder");
  if (r.UpdateFolder.empty())
    json.Null();
  else
    json.String(r.UpdateFolder);
  json.Key("settings");
  WriteSettingsJson(json, r.SettingLines.empty() ? nullptr : &r.Settings);
  json.EndObject();
  out << json.Text() << "\n";
}

// Quiet: the problems alone.
void WriteCheckText(const CheckReport& r, bool quiet, std::ostream& out) {
  for (const CheckProblem& p : r.Problems) {
    out << "problem: ";
    if (p.HasEntry)
      out << (p.Entry.empty() ? std::string("(no name)") : Printable(p.Entry)) << ": ";
    out << Printable(p.Text) << "\n";
  }
  for (const std::string& m : r.Messages) out << "  reader sees: " << Printable(m) << "\n";
  if (quiet) return;
  if (r.Walked) out << r.Entries << (r.Entries == 1 ? " entry" : " entries") << " walked\n";
  if (r.HasLicence) out << "licence: " << Printable(r.LicenceName) << ": " << r.LicenceSays << "\n";
  if (!r.UpdateFolder.empty()) out << "the update goes to: " << Printable(r.UpdateFolder) << "\n";
  if (!r.Runs.empty()) out << "runs after installing: " << Printable(r.Runs) << "\n";
  WriteSettingsText(r.SettingLines, out);
  if (!r.Problems.empty()) {
    out << Plural(r.Problems.size(), "problem") << ": the reader's install would fail\n";
  } else {
    out << "ok: the reader's install would succeed\n";
  }
}

// The central directory against the stub's walk: every entry it lists
// must be one the walk reaches.
void CompareDirectory(const std::string& path, uint32_t stubLength,
                      const std::set<uint64_t>& walked, CheckReport& report) {
  MappedFile file;
  if (!file.Open(path)) return;
  // The archive ends where the size field says (a signature's certificate
  // table may follow it); the walk has checked the field.
  size_t size = file.Size();
  if (uint64_t{stubLength} + 4 <= size) {
    const uint8_t* field = file.Data() + stubLength;
    const size_t recorded = uint32_t{field[0]} | uint32_t{field[1]} << 8 |
                            uint32_t{field[2]} << 16 | uint32_t{field[3]} << 24;
    if (recorded <= size) size = recorded;
  }
  std::vector<SourceEntry> listed;
  std::string error;
  if (!ReadSourceArchive(file.Data(), size, listed, error)) {
    report.Add("the central directory cannot be read (" + error +
               "): ZIP tools would not open the setup as the stub does");
    return;
  }
  for (const SourceEntry& entry : listed) {
    if (walked.count(entry.HeaderOffset) != 0) continue;
    report.Add(entry.Record.Name,
               "listed in the central directory, but the stub's walk never reaches it: it would "
               "never be installed");
  }
}

}  // namespace

int RunCheck(const InspectOptions& options, std::ostream& out, std::ostream& err) {
  ScratchFolder scratch;
  CheckReport report;
  auto finish = [&]() {
    if (options.Json)
      WriteCheckJson(options, report, out);
    else
      WriteCheckText(report, options.Quiet, out);
    return report.Problems.empty() ? 0 : 1;
  };
  // Two readings of the setup, each with its own host and session: every
  // entry on its own, so that each problem is named, and the whole install
  // as the reader's stub runs it, into a scratch folder, where whatever it
  // would show the reader counts as a problem. They share nothing but the
  // CRC table (built before either starts), so they run side by side.
  OpenedSetup walk(scratch.Path() / "walk");
  if (!OpenPackaged(walk, options.SetupPath, err)) return 2;
  OpenedSetup install(scratch.Path() / "install");
  if (!OpenPackaged(install, options.SetupPath, err)) return 2;
  if (!PrepareMachine(install.Host, options, err)) return 2;
  for (int i = 0; i < 3; ++i) install.Host.PasswordReplies.push_back(options.Password);
  // A reader's PC, for a default folder's %VARIABLES%.
  for (const auto& [name, value] : ReaderEnvironment("reader"))
    install.Host.Environment[name] = value;

  std::string licenceCommand;
  std::thread installing([&install, &licenceCommand, &report] {
    ebook::OpenSetup(install.Session);
    licenceCommand = install.Session.RunCommand;
    if (install.Session.PathAutodetected)
      report.UpdateFolder = install.Host.Controls[ebook::kInstallPathEdit];
    else if (install.Session.Settings.DefaultFolder[0] == '\0')
      install.Host.Controls[ebook::kInstallPathEdit] = "C:\\Book";
    // Otherwise the publisher's default folder, as the reader's PC shows it.
    report.InstallFolder = install.Host.Controls[ebook::kInstallPathEdit];
    // The files the install writes are only counted: the engine verifies
    // each one as it is written, and nothing reads them back.
    FilesInMemory files(install.Host, install.Host.Controls[ebook::kInstallPathEdit]);
    install.Session.Host = &files;
    ebook::RunInstall(install.Session);
    install.Session.Host = &install.Host;
  });
  struct Joined {
    std::thread& Thread;
    ~Joined() {
      if (Thread.joinable()) Thread.join();
    }
  } joined{installing};

  std::string licenceText;
  uint64_t licenceSize = 0;
  std::vector<std::string> walkMessages;
  bool stopped = false;
  std::string last;
  std::vector<std::string> walkedNames;
  std::set<uint64_t> offsets;
  const bool walked = WalkEntries(
      walk.Session,
      [&](const WalkedEntry& entry) {
        ++report.Entries;
        last = entry.Name;
        walkedNames.push_back(entry.Name);
        offsets.insert(entry.HeaderOffset);
        std::string* kept = nullptr;
        if (!report.HasLicence && IsShownLicence(walk.Session, entry)) {
          report.HasLicence = true;
          report.LicenceName = entry.Name;
          licenceSize = walk.Session.CurrentHeader.UncompressedSize;
          kept = &licenceText;
        }
        std::string problem = VerifyEntry(walk.Session, entry, options.Password, kept);
        if (!problem.empty()) report.Add(entry.Name, problem);
        if (problem.empty() && options.Verbose && !options.Json)
          out << "ok: " << Printable(entry.Name) << "\n";
      },
      &stopped);
  installing.join();
  if (!walked) {
    report.Add("the setup does not pass the stub's download check");
    for (const auto& m : walk.Host.Messages) report.Messages.push_back(m.Caption + ": " + m.Text);
    return finish();
  }
  if (report.Entries == 0) {
    report.Add("no entries the stub can find");
    return finish();
  }
  report.Walked = true;
  if (stopped) {
    report.Add("the stub's walk cannot go on after " + Printable(last) +
               ": the entries after it would never be installed");
  }
  CompareDirectory(options.SetupPath, walk.Session.StubLength, offsets, report);

  if (report.HasLicence) {
    report.Licence = ReadLicenceFacts(licenceText, licenceSize);
    const LicenceFacts& f = report.Licence;
    report.LicenceSays = f.Directive.Letter != 0 ? DirectiveMeaning(f.Directive)
                         : f.Cut ? "no directive: only the start of the text is shown"
                                 : "no directive: the whole text is shown";
    if (std::string cut = CutProblem(f); !cut.empty()) report.Add(report.LicenceName, cut);
    if (std::string accident = AccidentalDirectiveProblem(f); !accident.empty())
      report.Add(report.LicenceName, accident);
  }

  const char letter = report.Licence.Directive.Letter;
  // Two entries for one Windows file: the reader gets one of them (and,
  // with the dialog, a question about the book's own file).
  {
    const bool flat = letter == 'p' || letter == 'r';
    std::vector<NamedEntry> named;
    for (const std::string& name : walkedNames) named.push_back({name, true});
    if (std::string clash = NameClash(named, flat); !clash.empty())
      report.Add(clash + (flat ? kFlatNote : ""));
  }
  if (!install.Session.PathAutodetected && (letter == 'p' || letter == 'r')) {
    report.Add(report.LicenceName, "an update setup, and no application is registered as '" +
                                       Printable(report.Licence.Directive.Argument) +
                                       "': give --app-path " +
                                       Printable(report.Licence.Directive.Argument) +
                                       "=FOLDER to check it as on a reader's machine that has it");
  }
  report.Settings = install.Session.Settings;
  report.SettingLines = DescribeSettings(report.Settings);
  if (const char* folder = report.Settings.DefaultFolder; *folder != '\0') {
    for (const std::string& name : UnknownVariables(folder))
      report.Add("the default folder's %" + name +
                 "% is not a variable Windows sets on every PC: where the reader's PC has "
                 "none, the folder field shows '" +
                 OnReadersPc(folder) +
                 "', and the book goes into a folder of that name under the folder the setup "
                 "was started from");
  }
  DropDoneMessage(install.Host);
  for (const auto& m : install.Host.Messages) report.Messages.push_back(m.Caption + ": " + m.Text);
  if (!install.Host.Messages.empty()) report.Add("an install shows messages");
  if (!install.Host.Started.empty()) {
    std::string command = install.Host.Started.front().CommandLine;
    std::string book = "\"" + report.InstallFolder;
    if (book.back() != '\\') book += '\\';
    if (command.compare(0, book.size(), book) == 0) {
      command = "\"<install folder>\\" + command.substr(book.size());
    } else if (!licenceCommand.empty()) {
      // Found outside the book only on this machine: said as the lookup
      // it is on the reader's.
      command = ResolvedCommand(licenceCommand, [](std::string_view) { return false; });
    }
    report.Runs = command;
    report.Starts = true;
  } else if (!licenceCommand.empty()) {
    bool starts = true;
    report.Runs = ResolvedCommand(
        licenceCommand, [](std::string_view) { return false; }, &starts);
    if (starts) report.Runs = "nothing: the install stopped before the command could start";
    report.Add(report.LicenceName, "the licence's command: " + report.Runs);
  } else {
    report.Runs = "nothing (no licence command and no quon*.exe entry installed)";
  }
  return finish();
}

namespace {

// A Windows name compared the way the file system does, for the entries of
// one extract: letter case (FoldName), slash or backslash.
std::string WindowsKey(std::string_view name) {
  std::string key = ebook::FoldName(name);
  for (char& c : key)
    if (c == '/') c = '\\';
  return key;
}

}  // namespace

int RunExtract(const InspectOptions& options, std::ostream& out, std::ostream& err) {
  ScratchFolder scratch;
  std::error_code ec;
  std::error_code made;
  fs::create_directories(fs::u8path(options.Folder), made);
  const fs::path target = fs::absolute(fs::u8path(options.Folder), ec);
  if (made || ec || !fs::is_directory(target)) {
    err << "bookpack: cannot make the folder " << options.Folder << ": "
        << (made ? made.message()
            : ec ? ec.message()
                 : std::string("not a folder"))
        << "\n";
    return 2;
  }
  // The target folder becomes drive B: of the host, so that the install
  // writes straight into it; the licence copy goes to the scratch C:.
  fs::path root = scratch.Path() / "root";
  fs::create_directories(root, ec);
  if (ec) {
    err << "bookpack: cannot use the folder " << options.Folder << ": " << ec.message() << "\n";
    return 2;
  }
  OpenedSetup setup(root);
  setup.Host.MapDrive('B', target);
  if (!OpenPackaged(setup, options.SetupPath, err)) return 2;
  if (!PrepareMachine(setup.Host, options, err)) return 2;
  for (int i = 0; i < 3; ++i) setup.Host.PasswordReplies.push_back(options.Password);
  setup.Host.OverwriteReplies.push_back({options.Overwrite, true});
  ebook::OpenSetup(setup.Session);
  const size_t listed = setup.Host.Messages.size();
  const bool update = setup.Session.PathAutodetected;
  if (update) {
    out << "an update: the reader's files would go to "
        << Printable(setup.Host.Controls[ebook::kInstallPathEdit]) << "; extracted flat into "
        << options.Folder << " instead\n";
  }
  setup.Host.Controls[ebook::kInstallPathEdit] = "B:\\";
  // What each file entry would meet: a file already there, or one an
  // earlier entry of the same Windows name writes.
  std::vector<std::string> names;
  for (const auto& item : setup.Host.List) names.push_back(item.Name);
  std::vector<bool> existed;
  for (const std::string& name : names) {
    std::string windows = update ? std::string(ebook::NameOfPath(name)) : name;
    const std::string hostPath = setup.Host.HostPath("B:\\" + windows);
    ebook::os::FileInfo info;
    existed.push_back(!hostPath.empty() && ebook::os::LinkStat(hostPath, info));
  }
  ebook::RunInstall(setup.Session);
  DropDoneMessage(setup.Host);
  out << MessagesOf(setup.Host, 0);
  // Drive B: is only where extract put DIR; the reader's setup starts the
  // program from their own install folder, which is how build says it too.
  for (const auto& started : setup.Host.Started) {
    std::string command = started.CommandLine;
    if (const std::string b = "\"B:\\"; command.compare(0, b.size(), b) == 0)
      command = "\"<install folder>\\" + command.substr(b.size());
    out << "the reader's setup would start: " << Printable(command) << "\n";
  }

  // Each message that names an entry is that entry's reason. A message
  // names an entry by its stored name, or by the file it was written to,
  // which only counts as a whole line of the message ("B:\\doc" is not named
  // by "B:\\doc\\x.txt"); the longest wins, so that "a.txt" does not claim
  // "ba.txt"'s message.
  auto namedLength = [&](const std::string& text, size_t i) -> size_t {
    size_t best = 0;
    if (!names[i].empty() && text.find(names[i]) != std::string::npos) best = names[i].size();
    std::string target = "B:\\" + (update ? std::string(ebook::NameOfPath(names[i])) : names[i]);
    std::replace(target.begin(), target.end(), '/', '\\');
    for (size_t at = text.find(target); at != std::string::npos; at = text.find(target, at + 1)) {
      const size_t end = at + target.size();
      if ((at == 0 || text[at - 1] == '\n') && (end == text.size() || text[end] == '\n'))
        best = std::max(best, target.size());
    }
    return best;
  };
  std::map<size_t, std::string> reasons;
  for (const auto& m : setup.Host.Messages) {
    size_t best = names.size(), bestLength = 0;
    for (size_t i = 0; i < names.size(); ++i) {
      const size_t length = namedLength(m.Text, i);
      if (length > bestLength) best = i, bestLength = length;
    }
    if (best != names.size() && reasons.count(best) == 0) reasons[best] = m.Text;
  }
  std::map<std::string, size_t> written;  // Windows name -> first entry
  std::set<std::string> madeFolders;      // those of them made by a folder entry
  size_t installed = 0, skipped = 0, kept = 0;
  constexpr char kKeptWhy[] =
      "extract keeps existing files unless given --overwrite yes, as the reader's setup does "
      "when they answer No";
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    const bool folder = !name.empty() && (name.back() == '/' || name.back() == '\\');
    std::string windows = update ? std::string(ebook::NameOfPath(name)) : name;
    const std::string key = WindowsKey(windows);
    std::string why;
    if (auto r = reasons.find(i); r != reasons.end()) {
      why = "the reader sees \"" + r->second + "\"";
    } else if (!folder && !update && existed[i] && !options.Overwrite) {
      why = "a file of that name was there already and is kept (" + std::string(kKeptWhy) + ")";
      ++kept;
    } else if (auto w = written.find(key);
               !folder && w != written.end() && !update && !options.Overwrite) {
      why = (madeFolders.count(key) != 0 ? "a folder made by the earlier entry "
                                         : "the same file on Windows as the earlier entry ") +
            Printable(names[w->second]) + ", which is kept (" + kKeptWhy + ")";
    } else {
      const std::string hostPath = setup.Host.HostPath("B:\\" + windows);
      if (!folder && (hostPath.empty() || !ebook::os::Exists(hostPath)))
        why = "not installed: the install stopped before it";
    }
    if (!folder) {
      written.emplace(key, i);
    } else if (!update && key.size() > 1) {
      // A folder entry makes its folder: a later file of its name meets it.
      const std::string made = key.substr(0, key.size() - 1);
      if (written.emplace(made, i).second) madeFolders.insert(made);
    }
    if (why.empty()) {
      ++installed;
      continue;
    }
    ++skipped;
    for (char& c : why) c = c == '\n' ? ' ' : c;
    out << "skipped: " << (name.empty() ? std::string("(no name)") : Printable(name)) << ": "
        << Printable(why) << "\n";
  }
  if (options.Verbose)
    for (const auto& item : setup.Host.List) out << "  " << Printable(item.Name) << "\n";
  if (!options.Quiet || skipped != 0)
    out << "installed " << installed << " of " << names.size()
        << (names.size() == 1 ? " entry" : " entries") << " into " << options.Folder
        << (kept != 0 ? ", kept " + Plural(kept, "existing file") : "")
        << (skipped > kept ? ", skipped " + std::to_string(skipped - kept) : "") << "\n";
  if (setup.Host.Messages.size() > 0 || listed > 0) {
    err << "bookpack: the install was not complete: the reader's setup shows "
        << Plural(setup.Host.Messages.size(), "message") << "\n";
    return 1;
  }
  return 0;
}

}  // namespace bookpack
