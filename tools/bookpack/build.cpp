// `bookpack build`: the steps from the options to the finished setup.
//
// Everything that can refuse the build by name or by content (the stub, the
// names, the licence) is settled before the first entry is compressed; what
// only encoding finds (damaged data, the 2 GiB limit) stops the build with
// the output removed.
#include "build.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>

#include "build_plan.h"
#include "core/archive_pass.h"
#include "core/crc32.h"
#include "core/licence.h"
#include "core/setup_session.h"
#include "entry_encoder.h"
#include "entry_rules.h"
#include "host/host_os.h"
#include "licence_report.h"
#include "ordered_workers.h"
#include "printable.h"
#include "settings_report.h"
#include "source_folder.h"
#include "stub_info.h"
#include "zip_writer.h"

namespace bookpack {
namespace {

// The highest libdeflate level still faster than `zip -9` on one core: on
// bench/bookpack's book it is 1.3% smaller than zip -9's archive in 1.3 s of
// CPU against zip's 1.7 s; levels 10 to 12 save under 1% more at 2.2 to 3 s.
constexpr int kDefaultLevel = 9;
// Extra fields that carry an entry's times (Info-ZIP's extended timestamp,
// NTFS times, and the old Info-ZIP Unix field).
constexpr uint16_t kExtendedTimeTag = 0x5455;
constexpr uint16_t kNtfsTimesTag = 0x000A;
constexpr uint16_t kOldUnixTag = 0x5855;
// Progress is worth a line only for sources that take a while.
constexpr uint64_t kProgressThreshold = uint64_t{16} << 20;

int Refuse(std::ostream& err, const std::string& message) {
  err << "bookpack: refused: " << Printable(message) << "\n";
  return 1;
}

int UsageProblem(std::ostream& err, const std::string& message) {
  err << "bookpack: " << Printable(message) << "\n";
  return 2;
}

// The password the reader types into a Windows dialog, which turns it into
// the bytes of the reader's code page: only ASCII is the same everywhere.
std::string PasswordProblem(const std::string& password, const std::string& origin) {
  if (password.size() >= static_cast<size_t>(ebook::kPasswordBufferSize))
    return "the password of " + origin + " is longer than the " +
           std::to_string(ebook::kPasswordBufferSize - 1) +
           " characters the reader's password box takes";
  for (char c : password)
    if (c < 0x20 || c > 0x7E)
      return "the password of " + origin +
             " must be printable ASCII: Windows turns other characters into the "
             "reader's code page, and the password would no longer match";
  return "";
}

// Answers the exit status: 0 when the stub is loaded.
int LoadStub(const std::string& path, std::vector<uint8_t>& stub, std::ostream& err) {
  // Only a file of exactly its recorded length is read whole: a packaged
  // setup given as the stub is told apart without loading it.
  bool readable = false;
  ebook::os::ClearError();
  auto recorded = RecordedStubLengthInFile(path, &readable);
  ebook::os::FileInfo st;
  if (!readable || !ebook::os::Stat(path, st)) {
    err << "bookpack: cannot read the stub " << path << ": " << ebook::os::LastErrorText() << "\n";
    return 2;
  }
  if (!recorded) {
    err << "bookpack: refused: " << path << ": no stub length slot (\"" << kStubLengthMarker
        << "\"), so it is not a setup stub whose archive offset is known\n";
    return 1;
  }
  if (*recorded != st.Size) {
    err << "bookpack: refused: " << path << ": the stub was built for a length of " << *recorded
        << " bytes but is " << st.Size
        << " bytes long (a packaged setup, or a stub changed after its build); the reader's "
           "setup would not find its archive\n";
    return 1;
  }
  std::string reason;
  auto bytes = ReadWholeFile(path, &reason);
  if (!bytes || bytes->size() != *recorded) {
    err << "bookpack: cannot read the stub " << path << ": "
        << (reason.empty() ? "it changed while it was read" : reason) << "\n";
    return 2;
  }
  stub = std::move(*bytes);
  return 0;
}

// Whether two paths name one file (through links, other spellings of the
// path or hard links); false when either does not exist.
bool SameFile(const std::string& a, const std::string& b) { return ebook::os::SameFile(a, b); }

// The names as the rules see them, and the first refusal among them;
// `flat` for an update setup.
std::string CheckNames(const std::vector<PlannedEntry>& plan, bool flat = false) {
  std::vector<NamedEntry> named;
  for (const PlannedEntry& entry : plan) {
    const std::string& name = entry.Record.Name;
    std::string problem = NameProblem(name);
    if (!problem.empty())
      return (name.empty() ? "(an entry without a name)" : name) + ": " + problem;
    named.push_back({name, entry.NameIsUtf8});
  }
  return NameClash(named, flat);
}

// The progress line: redrawn by a thread of its own every 200 ms from the
// source bytes the workers have dealt with, so that it moves while one
// large entry is being compressed, not only when an entry is written.
class Progress {
 public:
  Progress(std::ostream& err, bool shown, uint64_t total, size_t count)
      : err_(err), shown_(shown), total_(total), count_(count) {
    if (!shown_) return;
    ticker_ = std::thread([this] {
      std::unique_lock<std::mutex> lock(mutex_);
      while (!stop_) {
        Draw();
        wake_.wait_for(lock, std::chrono::milliseconds(200));
      }
    });
  }
  ~Progress() { Close(); }

  // Source bytes dealt with, added to by the workers.
  std::atomic<uint64_t> Done{0};
  // Entries written, in order.
  std::atomic<size_t> Written{0};

  void Close() {
    if (!ticker_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    ticker_.join();
    if (Written == count_) Draw();
    if (drawn_) err_ << "\r\033[K" << std::flush;
  }

 private:
  void Draw() {
    const uint64_t done = std::min<uint64_t>(Done, total_);
    const unsigned percent =
        total_ == 0 ? 100 : static_cast<unsigned>(Written == count_ ? 100 : done * 100 / total_);
    err_ << "\rbookpack: " << percent << "% (" << Written << " of " << count_ << " entries)"
         << std::flush;
    drawn_ = true;
  }

  std::ostream& err_;
  bool shown_;
  uint64_t total_;
  size_t count_;
  std::thread ticker_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool drawn_ = false;
};

// The licence text as the stub reads it: its first bytes, decoded. The
// whole entry is decoded, so that damage anywhere refuses it, but only
// what the stub reads is kept.
bool LicenceText(const PlannedEntry& entry, const uint8_t* zipBytes, std::string& text,
                 uint64_t& fullSize, std::string& problem) {
  constexpr size_t kRead = ebook::kLicenceReadSize;
  text.clear();
  if (entry.From == PlannedEntry::Origin::kZip) {
    const EntryRecord& r = entry.Zip->Record;
    fullSize = r.UncompressedSize;
    return DecodeInPieces(
        r.Method, zipBytes + entry.Zip->DataOffset, r.CompressedSize, r.UncompressedSize,
        [&](const uint8_t* piece, size_t n) {
          if (text.size() < kRead) text.append(piece, piece + std::min(n, kRead - text.size()));
        },
        problem);
  }
  ebook::os::ClearError();
  const ebook::os::Fd fd = ebook::os::OpenRead(entry.Path);
  if (fd == ebook::os::kNoFile) {
    problem = "cannot read " + entry.Path + ": " + ebook::os::LastErrorText();
    return false;
  }
  text.resize(kRead);
  size_t got = 0;
  int64_t n = 0;
  while (got < kRead && (n = ebook::os::Read(fd, text.data() + got, kRead - got)) > 0)
    got += static_cast<size_t>(n);
  text.resize(got);
  // What lies past the part the stub reads counts for the report of a cut.
  uint64_t size = 0;
  fullSize = ebook::os::SizeOf(fd, size) ? std::max<uint64_t>(size, got) : got;
  ebook::os::Close(fd);
  if (n < 0) {
    problem = "cannot read " + entry.Path + ": " + ebook::os::LastErrorText();
    return false;
  }
  return true;
}

std::string Counted(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// One line of -v: what became of an entry.
std::string DescribeWritten(const EntryRecord& r, const PlannedEntry& planned) {
  if (planned.From == PlannedEntry::Origin::kFolder) return r.Name + " (folder)";
  std::string line = r.Name + " (" + std::to_string(r.UncompressedSize) + " bytes, ";
  line += r.Method == kMethodStored ? "stored as it is"
                                    : "compressed to " + std::to_string(r.CompressedSize);
  if ((r.Flags & kFlagEncrypted) != 0) line += ", encrypted";
  return line + ")";
}

// One build, step by step. Each step answers kGoOn or the exit status.
class Builder {
 public:
  Builder(const BuildOptions& options, std::ostream& out, std::ostream& err)
      : options_(options), out_(out), err_(err) {}

  int Run() {
    for (auto step :
         {&Builder::Prepare, &Builder::PlanEntries, &Builder::CheckEntries, &Builder::WriteSetup}) {
      if (int status = (this->*step)(); status != kGoOn) return status;
    }
    Report();
    return 0;
  }

 private:
  static constexpr int kGoOn = -1;

  int Prepare() {
    ebook::BuildCrcTable();
    level_ = options_.Level < 0 ? kDefaultLevel : options_.Level;
    if (level_ > 12) return UsageProblem(err_, "--level takes 0 (store) to 12");
    if (std::string problem = PasswordProblem(options_.Password, options_.PasswordOrigin);
        !problem.empty())
      return UsageProblem(err_, problem);
    if (int status = PrepareSettings(); status != kGoOn) return status;
    if (int status = CheckOutput(); status != kGoOn) return status;
    const int loaded = LoadStub(options_.StubPath, stub_, err_);
    return loaded == 0 ? kGoOn : loaded;
  }

  // The setup replaces whatever -o names, so that must never be an input,
  // whatever path, link or spelling reaches it (a folder's files are seen
  // to once the folder is listed). Nothing is written before this.
  int CheckOutput() {
    const std::string& output = options_.OutputPath;
    ebook::os::FileInfo st;
    if (ebook::os::Stat(output, st) && st.IsFolder)
      return UsageProblem(err_, "-o " + output +
                                    " is a folder: name the setup file to write, e.g. " +
                                    ebook::os::Join(output, "Book-Setup.exe"));
    const std::pair<const std::string*, const char*> inputs[] = {
        {&options_.StubPath, "the stub"},
        {&options_.LicencePath, "the licence"},
        {&options_.PasswordFile, "the password file"},
        {&options_.Source, "the source ZIP"},
    };
    for (const auto& [path, what] : inputs)
      if (!path->empty() && SameFile(output, *path)) return OverInput(what + (" " + *path));
    return kGoOn;
  }

  int OverInput(const std::string& input) {
    return UsageProblem(err_, "-o " + options_.OutputPath + " is " + input +
                                  ": the setup would overwrite it; nothing was written");
  }

  // The publisher's settings as the stub will read them, or the reason it
  // could not use one: refused before anything is read or written.
  int PrepareSettings() {
    ebook::PublisherSettings& s = settings_;
    if (const auto& folder = options_.DefaultFolder) {
      if (std::string problem = DefaultFolderProblem(*folder); !problem.empty())
        return UsageProblem(err_, "--default-folder " + *folder + ": " + problem);
      std::memcpy(s.DefaultFolder, folder->data(), folder->size());
      if (const std::string there = OnReadersPc(*folder); there.size() >= ebook::kInstallDirSize)
        notes_.push_back("--default-folder: on a typical reader's PC it reads " + there + ", " +
                         std::to_string(there.size()) + " characters, more than the " +
                         std::to_string(ebook::kInstallDirSize - 1) +
                         " the setup takes: Install would ask for a shorter folder");
      for (const std::string& name : UnknownVariables(*folder))
        notes_.push_back("--default-folder: %" + name +
                         "% is not a variable Windows sets on every PC; where the reader's PC "
                         "has none of that name, the folder field shows it as it is");
    }
    if (const auto& title = options_.Title) {
      if (std::string problem = TitleProblem(*title); !problem.empty())
        return UsageProblem(err_, "--title " + *title + ": " + problem);
      std::memcpy(s.Title, title->data(), title->size());
    }
    s.DoneMessage = options_.DoneMessage;
    s.AskBeforeStopping = options_.AskBeforeStopping;
    s.SayWrongPassword = options_.SayWrongPassword;
    settingLines_ = DescribeSettings(s);
    if (settingLines_.empty()) return kGoOn;
    char text[ebook::kSettingsMaxSize];
    const size_t n = ebook::FormatPublisherSettings(s, text, sizeof text);
    if (n == 0)
      return UsageProblem(err_, "the settings take more than the " +
                                    WithThousands(ebook::kSettingsMaxSize) +
                                    " bytes the stub reads of them");
    settingsText_.assign(text, n);
    return kGoOn;
  }

  // The licence first, then the source's entries in their order.
  int PlanEntries() {
    std::string error;
    if (!options_.LicencePath.empty()) {
      plan_.emplace_back();
      if (!PlanLicence(options_.LicencePath, plan_.back(), error)) return UsageProblem(err_, error);
    }
    ebook::os::FileInfo st;
    if (!ebook::os::Stat(options_.Source, st))
      return UsageProblem(
          err_, "cannot read the source " + options_.Source + ": " + ebook::os::LastErrorText());
    if (st.IsFolder) {
      if (!PlanFolder(options_.Source, plan_, notes_, error)) return Refuse(err_, error);
      if (int status = LeaveOutTheOutput(); status != kGoOn) return status;
    } else {
      ebook::os::ClearError();
      if (!zip_.Open(options_.Source))
        return UsageProblem(err_, "cannot read the source " + options_.Source + ": " +
                                      ebook::os::LastErrorText("neither a folder nor a ZIP file"));
      if (!ReadSourceArchive(zip_.Data(), zip_.Size(), zipEntries_, error))
        return Refuse(err_, options_.Source + ": " + error);
      if (!PlanZip(zipEntries_, plan_, notes_, error)) return Refuse(err_, error);
    }
    if (options_.FixedTime) FixTimes(*options_.FixedTime);
    if (plan_.empty())
      return Refuse(err_, options_.Source +
                              " holds nothing to install, and the reader would see "
                              "\"Can't read archive header\"");
    return kGoOn;
  }

  // A setup written into its own source folder (the previous build's, when
  // it is built again) must not become part of the new one; any other file
  // of the folder is the book's own, and -o naming it is refused.
  int LeaveOutTheOutput() {
    ebook::os::FileInfo output;
    if (!ebook::os::Stat(options_.OutputPath, output)) return kGoOn;
    // Only a file of the output's size can be it: the others are not asked
    // about (which costs two opens each on Windows).
    auto isOutput = [&](const PlannedEntry& entry) {
      return entry.From == PlannedEntry::Origin::kFile && entry.Work == output.Size &&
             ebook::os::SameFile(entry.Path, options_.OutputPath);
    };
    for (const PlannedEntry& entry : plan_) {
      if (!isOutput(entry)) continue;
      bool readable = false;
      if (!RecordedStubLengthInFile(entry.Path, &readable))
        return OverInput("the file " + entry.Record.Name + " of the source folder");
      notes_.push_back(entry.Record.Name +
                       ": the output itself, left out of the setup (an earlier build)");
    }
    plan_.erase(std::remove_if(plan_.begin(), plan_.end(), isOutput), plan_.end());
    return kGoOn;
  }

  // SOURCE_DATE_EPOCH: every entry gets that time, and a source ZIP's
  // entries lose the extra fields that hold times of their own. An entry
  // the ZIP already encrypted keeps its time: its password check byte may
  // be made from it.
  void FixTimes(int64_t seconds) {
    const uint32_t dos = DosDateTimeUtc(seconds);
    for (PlannedEntry& entry : plan_) {
      EntryRecord& r = entry.Record;
      if (entry.From == PlannedEntry::Origin::kZip) {
        if ((r.Flags & kFlagEncrypted) != 0) continue;
        for (uint16_t tag : {kExtendedTimeTag, kNtfsTimesTag, kOldUnixTag}) {
          r.LocalExtra = WithoutExtraBlock(r.LocalExtra.data(), r.LocalExtra.size(), tag);
          r.CentralExtra = WithoutExtraBlock(r.CentralExtra.data(), r.CentralExtra.size(), tag);
        }
      }
      r.ModDate = static_cast<uint16_t>(dos >> 16);
      r.ModTime = static_cast<uint16_t>(dos);
    }
  }

  int CheckEntries() {
    if (std::string clash = CheckNames(plan_); !clash.empty()) return Refuse(err_, clash);
    // The licence is shown before any password is asked for, so it must
    // stay readable; the stub would pass over an encrypted one.
    for (PlannedEntry& entry : plan_) {
      if (!ebook::IsLicenceEntryName(entry.Record.Name) ||
          entry.From == PlannedEntry::Origin::kFolder)
        continue;
      if ((entry.Record.Flags & kFlagEncrypted) != 0)
        return Refuse(err_, entry.Record.Name +
                                ": an encrypted licence entry, which the stub cannot show before "
                                "it asks for the password; store it without encryption");
      if (licence_ == nullptr) licence_ = &entry;
    }
    if (licence_ != nullptr) {
      std::string text, problem;
      uint64_t fullSize = 0;
      if (!LicenceText(*licence_, zip_.Data(), text, fullSize, problem))
        return Refuse(err_, licence_->Record.Name + ": " + problem);
      licenceFacts_ = ReadLicenceFacts(text, fullSize);
      directive_ = licenceFacts_.Directive;
      if (directive_.Letter != 0 && !options_.DirectiveMeant) {
        return Refuse(
            err_, Printable(licence_->Record.Name) + ": the first line '" +
                      Printable(licenceFacts_.FirstLine) + "' starts with '" +
                      std::string(1, directive_.Letter) +
                      "', which the stub reads as a directive (" + DirectiveMeaning(directive_) +
                      "), and the reader never sees that line. If the directive is meant, give "
                      "--directive; if the line is text, start the licence with a blank line or "
                      "any character other than a, d, e, p and r");
      }
    }
    // An update puts every file under its name alone into one folder.
    if (directive_.Letter == 'p' || directive_.Letter == 'r') {
      if (std::string clash = CheckNames(plan_, true); !clash.empty())
        return Refuse(err_, clash + kFlatNote);
    }
    if (options_.DirectiveMeant && directive_.Letter == 0)
      notes_.push_back(std::string("--directive was given, but ") +
                       (licence_ == nullptr ? "the setup has no licence"
                                            : "the licence's first line is no directive"));
    uint64_t least = stub_.size() + 8 + kEndRecordLength;
    // Nothing the stub might take for the licence is encrypted: it would be
    // passed over, which is why such an entry in a source ZIP is refused.
    for (PlannedEntry& entry : plan_) {
      entry.Encrypt = !options_.Password.empty() && entry.From != PlannedEntry::Origin::kFolder &&
                      (entry.Record.Flags & kFlagEncrypted) == 0 &&
                      !ebook::IsLicenceEntryName(entry.Record.Name);
      totalWork_ += entry.Work;
      least += LeastSetupBytes(entry, level_);
      if (least > kLargestSetup)
        return Refuse(err_,
                      entry.Record.Name +
                          ": the setup would be larger than 2 GiB, which the stub cannot read");
    }
    return kGoOn;
  }

  // Entries are encoded on every core and written in plan order.
  int WriteSetup() {
    std::string error;
    // An output that cannot be made is a usage error, like an input that
    // cannot be read.
    if (!writer_.Open(options_.OutputPath, stub_, error)) return UsageProblem(err_, error);
    RandomBytes random;
    if (!options_.Password.empty() && !random.Open())
      return Refuse(err_, "cannot read the system's random numbers: " + ebook::os::LastErrorText());
    // No progress line with -q, nor with -v, whose lines it would break.
    Progress progress(err_,
                      options_.Progress && !options_.Quiet && !options_.Verbose &&
                          totalWork_ >= kProgressThreshold,
                      totalWork_, plan_.size());
    const EncodingContext context{options_.Password, zip_.Data(), &random, &progress.Done};
    const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    std::vector<std::unique_ptr<DeflateEncoder>> encoders;
    for (unsigned t = 0; t < threads; ++t)
      encoders.push_back(std::make_unique<DeflateEncoder>(level_));
    const bool written = RunOrdered<EncodedEntry>(
        plan_.size(), threads, 4 * size_t{threads},
        [&](size_t i, unsigned worker) {
          return EncodeEntry(plan_[i], context, *encoders[worker]);
        },
        [&](size_t i, EncodedEntry& entry) {
          if (!entry.Problem.empty()) {
            error = plan_[i].Record.Name + ": " + entry.Problem;
            return false;
          }
          if (!entry.Note.empty()) notes_.push_back(plan_[i].Record.Name + ": " + entry.Note);
          if (!AddEncoded(entry, error)) return false;
          encrypted_ += (entry.Record.Flags & kFlagEncrypted) != 0;
          stored_ += entry.Record.Method == kMethodStored &&
                     plan_[i].From != PlannedEntry::Origin::kFolder;
          if (options_.Verbose)
            out_ << "  " << DescribeWritten(entry.Record, plan_[i]) << "\n" << std::flush;
          progress.Written = i + 1;
          return true;
        });
    progress.Close();
    if (!written || !writer_.Finish(settingsText_, error)) return Refuse(err_, error);
    return kGoOn;
  }

  // Large files come from their file or their spooled deflate stream,
  // everything else from memory.
  bool AddEncoded(EncodedEntry& entry, std::string& error) {
    ebook::CipherKeys* keys = entry.StoredEncrypted ? &entry.Keys : nullptr;
    if (entry.Spool != nullptr)
      return writer_.AddEntryFromFile(entry.Record, entry.Owned.data(), entry.Owned.size(),
                                      ebook::os::FdOfStream(entry.Spool.get()), false,
                                      "a temporary file", keys, error);
    if (entry.StoredFrom.empty())
      return writer_.AddEntry(entry.Record, entry.Data, entry.Descriptor, error);
    const ebook::os::Fd fd = ebook::os::OpenRead(entry.StoredFrom);
    const bool added =
        writer_.AddEntryFromFile(entry.Record, entry.Owned.data(), entry.Owned.size(), fd, true,
                                 entry.StoredFrom, keys, error);
    if (fd != ebook::os::kNoFile) ebook::os::Close(fd);
    return added;
  }

  void Report() {
    if (options_.Quiet) return;
    for (const std::string& note : notes_) err_ << "bookpack: note: " << Printable(note) << "\n";
    const std::string cut = licence_ != nullptr ? CutProblem(licenceFacts_) : "";
    if (!cut.empty())
      err_ << "bookpack: warning: " << Printable(licence_->Record.Name) << ": " << cut << "\n";
    std::string kinds;
    if (stored_ != 0)
      kinds = std::to_string(stored_) +
              (stored_ == 1 ? " file stored as it is" : " files stored as they are");
    if (encrypted_ != 0)
      kinds += (kinds.empty() ? "" : ", ") + std::to_string(encrypted_) + " encrypted";
    out_ << "wrote " << Printable(options_.OutputPath) << ": " << writer_.Size() << " bytes, "
         << Counted(plan_.size(), "entry", "entries") << (kinds.empty() ? "" : " (" + kinds + ")")
         << ", stub of " << stub_.size() << " bytes\n";
    std::vector<std::string> names;
    for (const PlannedEntry& entry : plan_) names.push_back(entry.Record.Name);
    const std::string* licenceName = licence_ != nullptr ? &licence_->Record.Name : nullptr;
    for (const std::string& line : DescribeOutcome(names, licenceName, directive_, cut)) {
      out_ << Printable(line) << "\n";
      const std::string nothing = "runs after installing: nothing starts ";
      if (line.compare(0, nothing.size(), nothing) == 0)
        err_ << "bookpack: warning: the licence's command starts nothing "
             << Printable(line.substr(nothing.size())) << "\n";
    }
    if (std::string accident = licence_ != nullptr ? AccidentalDirectiveProblem(licenceFacts_) : "";
        !accident.empty())
      err_ << "bookpack: warning: " << accident << "\n";
    if (!settingLines_.empty()) {
      out_ << "settings:\n";
      for (const std::string& line : settingLines_) out_ << "  " << Printable(line) << "\n";
    }
  }

  const BuildOptions& options_;
  std::ostream& out_;
  std::ostream& err_;
  int level_ = kDefaultLevel;
  std::vector<uint8_t> stub_;
  MappedFile zip_;
  std::vector<SourceEntry> zipEntries_;
  std::vector<PlannedEntry> plan_;
  std::vector<std::string> notes_;
  const PlannedEntry* licence_ = nullptr;
  LicenceDirective directive_;
  LicenceFacts licenceFacts_;
  uint64_t totalWork_ = 0;
  PackagedFileWriter writer_;
  size_t stored_ = 0, encrypted_ = 0;
  ebook::PublisherSettings settings_{};
  std::vector<std::string> settingLines_;
  std::string settingsText_;  // the end record's comment; empty: none
};

}  // namespace

int RunBuild(const BuildOptions& options, std::ostream& out, std::ostream& err) {
  return Builder(options, out, err).Run();
}

}  // namespace bookpack
