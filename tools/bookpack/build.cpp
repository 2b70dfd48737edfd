// `bookpack build`: the steps from the options to the finished setup.
//
// Everything that can refuse the build by name or by content (the stub, the
// names, the licence) is settled before the first entry is compressed; what
// only encoding finds (damaged data, the 2 GiB limit) stops the build with
// the output removed.
#include "build.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
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
#include "ordered_workers.h"
#include "printable.h"
#include "stub_info.h"
#include "zip_writer.h"

namespace bookpack {
namespace {

// The highest libdeflate level still faster than `zip -9` on one core: on
// bench/bookpack's book it is 1.3% smaller than zip -9's archive in 1.3 s of
// CPU against zip's 1.7 s; levels 10 to 12 save under 1% more at 2.2 to 3 s.
constexpr int kDefaultLevel = 9;
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
std::string PasswordProblem(const std::string& password) {
  if (password.size() >= static_cast<size_t>(ebook::kPasswordBufferSize))
    return "--password is longer than the " + std::to_string(ebook::kPasswordBufferSize - 1) +
           " characters the reader's password box takes";
  for (char c : password)
    if (c < 0x20 || c > 0x7E)
      return "--password must be printable ASCII: Windows turns other characters into the "
             "reader's code page, and the password would no longer match";
  return "";
}

bool LoadStub(const std::string& path, std::vector<uint8_t>& stub, std::ostream& err) {
  // Only a file of exactly its recorded length is read whole: a packaged
  // setup given as the stub is told apart without loading it.
  bool readable = false;
  auto recorded = RecordedStubLengthInFile(path, &readable);
  struct stat st;
  if (!readable || stat(path.c_str(), &st) != 0) {
    err << "bookpack: refused: cannot read the stub " << path << "\n";
    return false;
  }
  if (!recorded) {
    err << "bookpack: refused: " << path << ": no stub length slot (\"" << kStubLengthMarker
        << "\"), so it is not a setup stub whose archive offset is known\n";
    return false;
  }
  if (*recorded != static_cast<uint64_t>(st.st_size)) {
    err << "bookpack: refused: " << path << ": the stub was built for a length of " << *recorded
        << " bytes but is " << st.st_size
        << " bytes long (a packaged setup, or a stub changed after its build); the reader's "
           "setup would not find its archive\n";
    return false;
  }
  auto bytes = ReadWholeFile(path);
  if (!bytes || bytes->size() != *recorded) {
    err << "bookpack: refused: cannot read the stub " << path << "\n";
    return false;
  }
  stub = std::move(*bytes);
  return true;
}

// Whether two paths name one file (through links, other spellings of the
// path or hard links); false when either does not exist.
bool SameFile(const std::string& a, const std::string& b) {
  struct stat x, y;
  return stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
         x.st_ino == y.st_ino;
}

// The names as the rules see them, and the first refusal among them.
std::string CheckNames(const std::vector<PlannedEntry>& plan) {
  std::vector<NamedEntry> named;
  for (const PlannedEntry& entry : plan) {
    const std::string& name = entry.Record.Name;
    std::string problem = NameProblem(name);
    if (!problem.empty())
      return (name.empty() ? "(an entry without a name)" : name) + ": " + problem;
    named.push_back({name, entry.NameIsUtf8});
  }
  return NameClash(named);
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
                 std::string& problem) {
  constexpr size_t kRead = ebook::kLicenceReadSize;
  text.clear();
  if (entry.From == PlannedEntry::Origin::kZip) {
    const EntryRecord& r = entry.Zip->Record;
    return DecodeInPieces(
        r.Method, zipBytes + entry.Zip->DataOffset, r.CompressedSize, r.UncompressedSize,
        [&](const uint8_t* piece, size_t n) {
          if (text.size() < kRead) text.append(piece, piece + std::min(n, kRead - text.size()));
        },
        problem);
  }
  std::ifstream in(entry.Path, std::ios::binary);
  if (!in) {
    problem = "cannot read " + entry.Path;
    return false;
  }
  text.resize(kRead);
  in.read(text.data(), static_cast<std::streamsize>(kRead));
  text.resize(static_cast<size_t>(in.gcount()));
  if (in.bad()) {
    problem = "cannot read " + entry.Path;
    return false;
  }
  return true;
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
    if (std::string problem = PasswordProblem(options_.Password); !problem.empty())
      return UsageProblem(err_, problem);
    if (SameFile(options_.OutputPath, options_.StubPath))
      return Refuse(err_, "-o " + options_.OutputPath +
                              " names the stub: the setup would overwrite what it is made from");
    return LoadStub(options_.StubPath, stub_, err_) ? kGoOn : 1;
  }

  // The licence first, then the source's entries in their order.
  int PlanEntries() {
    std::string error;
    if (!options_.LicencePath.empty()) {
      plan_.emplace_back();
      if (!PlanLicence(options_.LicencePath, plan_.back(), error)) return UsageProblem(err_, error);
    }
    struct stat st;
    if (stat(options_.Source.c_str(), &st) != 0)
      return UsageProblem(err_, "cannot find the source " + options_.Source);
    if (S_ISDIR(st.st_mode)) {
      if (!PlanFolder(options_.Source, plan_, notes_, error)) return Refuse(err_, error);
      LeaveOutTheOutput();
    } else {
      if (SameFile(options_.OutputPath, options_.Source))
        return Refuse(err_, "-o " + options_.OutputPath +
                                " names the source ZIP: the setup would overwrite what it is "
                                "made from");
      if (!zip_.Open(options_.Source))
        return UsageProblem(err_, "cannot read the source " + options_.Source);
      if (!ReadSourceArchive(zip_.Data(), zip_.Size(), zipEntries_, error))
        return Refuse(err_, options_.Source + ": " + error);
      if (!PlanZip(zipEntries_, plan_, notes_, error)) return Refuse(err_, error);
    }
    if (plan_.empty())
      return Refuse(err_, options_.Source +
                              " holds nothing to install, and the reader would see "
                              "\"Can't read archive header\"");
    return kGoOn;
  }

  // A setup written into its own source folder (the previous build's, when
  // it is built again) must not become part of the new one.
  void LeaveOutTheOutput() {
    struct stat output;
    if (stat(options_.OutputPath.c_str(), &output) != 0) return;
    auto isOutput = [&](const PlannedEntry& entry) {
      struct stat st;
      return entry.From == PlannedEntry::Origin::kFile && stat(entry.Path.c_str(), &st) == 0 &&
             st.st_dev == output.st_dev && st.st_ino == output.st_ino;
    };
    for (const PlannedEntry& entry : plan_)
      if (isOutput(entry))
        notes_.push_back(entry.Record.Name + ": the output itself, left out of the setup");
    plan_.erase(std::remove_if(plan_.begin(), plan_.end(), isOutput), plan_.end());
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
      if (!LicenceText(*licence_, zip_.Data(), text, problem))
        return Refuse(err_, licence_->Record.Name + ": " + problem);
      directive_ = ReadDirective(text);
    }
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
    if (!writer_.Open(options_.OutputPath, stub_, error)) return Refuse(err_, error);
    RandomBytes random;
    if (!options_.Password.empty() && !random.Open())
      return Refuse(err_, "cannot open /dev/urandom");
    Progress progress(err_, options_.Progress && totalWork_ >= kProgressThreshold, totalWork_,
                      plan_.size());
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
          progress.Written = i + 1;
          return true;
        });
    progress.Close();
    if (!written || !writer_.Finish(error)) return Refuse(err_, error);
    return kGoOn;
  }

  // Large files come from their file or their spooled deflate stream,
  // everything else from memory.
  bool AddEncoded(EncodedEntry& entry, std::string& error) {
    ebook::CipherKeys* keys = entry.StoredEncrypted ? &entry.Keys : nullptr;
    if (entry.Spool != nullptr)
      return writer_.AddEntryFromFile(entry.Record, entry.Owned.data(), entry.Owned.size(),
                                      fileno(entry.Spool.get()), false, "a temporary file", keys,
                                      error);
    if (entry.StoredFrom.empty())
      return writer_.AddEntry(entry.Record, entry.Data, entry.Descriptor, error);
    const int fd = open(entry.StoredFrom.c_str(), O_RDONLY | O_CLOEXEC);
    const bool added =
        writer_.AddEntryFromFile(entry.Record, entry.Owned.data(), entry.Owned.size(), fd, true,
                                 entry.StoredFrom, keys, error);
    if (fd >= 0) close(fd);
    return added;
  }

  void Report() {
    for (const std::string& note : notes_) err_ << "bookpack: note: " << Printable(note) << "\n";
    out_ << "wrote " << Printable(options_.OutputPath) << ": " << writer_.Size() << " bytes, "
         << plan_.size() << " entries (" << stored_ << (stored_ == 1 ? " file" : " files")
         << " stored as they are, " << encrypted_ << " encrypted), stub of " << stub_.size()
         << " bytes\n";
    std::vector<std::string> names;
    for (const PlannedEntry& entry : plan_) names.push_back(entry.Record.Name);
    const std::string* licenceName = licence_ != nullptr ? &licence_->Record.Name : nullptr;
    for (const std::string& line : DescribeOutcome(names, licenceName, directive_))
      out_ << Printable(line) << "\n";
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
  uint64_t totalWork_ = 0;
  PackagedFileWriter writer_;
  size_t stored_ = 0, encrypted_ = 0;
};

}  // namespace

int RunBuild(const BuildOptions& options, std::ostream& out, std::ostream& err) {
  return Builder(options, out, err).Run();
}

}  // namespace bookpack
