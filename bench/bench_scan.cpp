// The whole scan of a backup, every category, as `orbanix scan` runs it
// (catalog, local source, scan driver), against a baseline in the same run
// that reads every byte the scan must read once: the databases whole (the
// manifest included) and the first 512 bytes of each media candidate.
//
// Size by environment:
//   ORBANIX_BENCH_ENTRIES   index entries (default 20000; the target figure
//                           is measured with 100000)
//   ORBANIX_BENCH_MEDIA     of which media files (default a fifth)
//   ORBANIX_BENCH_MESSAGES  messages of sms.db (default 100000; about 2 KB of
//                           page space each with the family's texts)
//   ORBANIX_BENCH_KEEP      a folder that keeps the generated backup: it is
//                           used again by the next run with the same sizes
//                           (comparing builds needs many runs)
// Prints the ratio and the peak resident memory of one scan: before each run
// the memory freed by the run before is given back to the system and the
// process's high-water mark is restarted (generating a 200 MB sms.db and its
// truth is not part of a scan, and one `orbanix scan` is one scan), so the
// figure is the largest peak of a run, the baseline's reading included; the
// whole process's peak is printed too.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "sources/catalog.h"
#include "sqlite_pages/deleted_rows.h"
#include "sources/scan_plan.h"
#include "tools/backupgen/backup_writer.h"
#include "tools/backupgen/family_calls.h"
#include "tools/backupgen/family_contacts.h"
#include "tools/backupgen/family_media.h"
#include "tools/backupgen/family_messages.h"

using namespace orbanix;
namespace fs = std::filesystem;

namespace {

long long EnvNumber(const char* name, long long fallback) {
  const char* v = std::getenv(name);
  if (!v || !*v) return fallback;
  const long long n = std::atoll(v);
  return n > 0 ? n : fallback;
}

struct Backup {
  fs::path root, folder;
  std::vector<fs::path> databases;
  std::vector<fs::path> mediaCandidates;
  bool ok = false;
  bool keep = false;

  Backup() {
    const char* kept = std::getenv("ORBANIX_BENCH_KEEP");
    keep = kept && *kept;
    root = keep ? fs::path(kept) : fs::temp_directory_path() / ("orbanix-bench-scan-" + std::to_string(getpid()));
    const long long entries = EnvNumber("ORBANIX_BENCH_ENTRIES", 20000);
    const long long media = EnvNumber("ORBANIX_BENCH_MEDIA", entries / 5);
    // What a kept backup was made with and of: its sizes, its folder, then
    // one database or media candidate per line.
    const fs::path listing = root / "fixture.txt";
    const std::string sizes = std::to_string(entries) + " " + std::to_string(media) + " " +
                              std::to_string(EnvNumber("ORBANIX_BENCH_MESSAGES", 100000));
    if (keep && LoadListing(listing, sizes)) return;
    databases.clear();
    mediaCandidates.clear();
    // Only what this benchmark made is removed from a kept folder.
    fs::remove_all(keep ? root / "phone" : root);
    fs::remove(listing);
    try {
      gen::BackupWriter writer(root / "phone", gen::Era::ManifestDb);
      // The stores as current phones keep them: the wide message table with
      // its chats, the newer search table of the address book, the call
      // store in Core Data's current column order and the photo library.
      gen::SmsShape sms;
      sms.messages = static_cast<int>(EnvNumber("ORBANIX_BENCH_MESSAGES", 100000));
      sms.handles = 2000;
      sms.layout = gen::SmsLayout::kWide;
      const fs::path smsPath = writer.ScratchPath("sms.db");
      gen::BuildSmsDb(smsPath, sms);
      databases.push_back(writer.AddFileFrom("HomeDomain", "Library/SMS/sms.db", smsPath));
      gen::AddressBookShape book;
      book.persons = 5000;
      book.search = gen::SearchLayout::kCurrent;
      const fs::path bookPath = writer.ScratchPath("ab.sqlitedb");
      gen::BuildAddressBook(bookPath, book);
      databases.push_back(writer.AddFileFrom("HomeDomain", "Library/AddressBook/AddressBook.sqlitedb", bookPath));
      gen::FamilyOptions callOptions;
      callOptions.scale = 200;
      const fs::path callPath = writer.ScratchPath("CallHistory.storedata");
      gen::BuildCurrentCallRecordDb(callPath, gen::CurrentCallRows(callOptions));
      databases.push_back(writer.AddFileFrom("HomeDomain", "Library/CallHistoryDB/CallHistory.storedata", callPath));
      std::vector<gen::GenPhotoAsset> assets;
      for (long long i = 0; i < media; i += 4) {
        gen::GenPhotoAsset a;
        a.fileName = "IMG_" + std::to_string(i) + ".JPG";
        a.unixCreated = 1700000000 + i;
        a.trashed = i % 40 == 0;
        a.unixTrashed = 1701000000 + i;
        assets.push_back(a);
      }
      const fs::path photosPath = writer.ScratchPath("Photos.sqlite");
      gen::BuildPhotosDb(photosPath, assets);
      databases.push_back(writer.AddFileFrom("CameraRollDomain", "Media/PhotoData/Photos.sqlite", photosPath));
      // Media spread over the albums and applications the scans walk.
      for (long long i = 0; i < media; ++i) {
        const auto kind = static_cast<gen::MediaSample>(i % gen::kMediaSampleCount);
        const std::string bytes = gen::MediaSampleBytes(kind, 1024 + (i % 7) * 512, static_cast<uint32_t>(i));
        fs::path stored;
        switch (i % 4) {
          case 0: stored = writer.AddFile("CameraRollDomain", "Media/DCIM/100APPLE/IMG_" + std::to_string(i) + ".JPG", bytes); break;
          case 1: stored = writer.AddFile("MediaDomain", "Library/SMS/Attachments/0" + std::to_string(i % 10) + "/att" + std::to_string(i), bytes); break;
          case 2: stored = writer.AddFile("AppDomain-com.example.app" + std::to_string(i % 50), "Documents/file" + std::to_string(i) + ".jpg", bytes); break;
          default: stored = writer.AddFile("MediaDomain", "Media/PhotoStreamsData/1/100APPLE/IMG_" + std::to_string(i) + ".JPG", bytes); break;
        }
        mediaCandidates.push_back(stored);
      }
      // The rest: small files that no category claims.
      for (long long i = media; i < entries; ++i) {
        writer.AddFile("HomeDomain", "Library/Preferences/p" + std::to_string(i) + ".plist", "<plist/>");
      }
      ok = writer.Finish();
      folder = writer.folder();
      databases.push_back(folder / "Manifest.db");  // the file index is a database read whole too
      if (keep) SaveListing(listing, sizes);
    } catch (const std::exception& e) {
      std::cerr << "cannot generate: " << e.what() << '\n';
    }
  }
  ~Backup() {
    std::error_code ec;
    if (!keep) fs::remove_all(root, ec);
  }

  void SaveListing(const fs::path& listing, const std::string& sizes) const {
    std::ofstream out(listing);
    out << sizes << '\n' << folder.string() << '\n' << databases.size() << '\n';
    for (const fs::path& d : databases) out << d.string() << '\n';
    for (const fs::path& m : mediaCandidates) out << m.string() << '\n';
  }
  bool LoadListing(const fs::path& listing, const std::string& sizes) {
    std::ifstream in(listing);
    std::string line, folderLine, countLine;
    if (!std::getline(in, line) || line != sizes || !std::getline(in, folderLine) || !std::getline(in, countLine)) {
      return false;
    }
    folder = folderLine;
    const long long count = std::atoll(countLine.c_str());
    for (long long i = 0; i < count && std::getline(in, line); ++i) databases.emplace_back(line);
    while (std::getline(in, line)) mediaCandidates.emplace_back(line);
    ok = static_cast<long long>(databases.size()) == count && fs::exists(folder / "Manifest.db");
    return ok;
  }
};

Backup& Fixture() {
  static Backup backup;
  return backup;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Processor time of every thread of the process, in seconds.
double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Every byte the scan has to read, once.
double BaselineSeconds(const Backup& b) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<char> buffer(1 << 20);
  size_t total = 0;
  for (const fs::path& db : b.databases) {
    std::ifstream in(db, std::ios::binary);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) total += in.gcount();
  }
  for (const fs::path& m : b.mediaCandidates) {
    std::ifstream in(m, std::ios::binary);
    in.read(buffer.data(), 512);
    total += in.gcount();
  }
  benchmark::DoNotOptimize(total);
  return Seconds(start);
}

// The kernel's high-water mark of resident memory (VmHWM), in MB; -1 when
// it cannot be read.
double PeakResidentMb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return -1;
}

// Bytes handed out by malloc and not yet freed, over every arena.
double MallocInUseMb() { return static_cast<double>(mallinfo2().uordblks) / (1024.0 * 1024.0); }

double ScanSeconds(const Backup& b, size_t& records, double& inUseMb) {
  const auto start = std::chrono::steady_clock::now();
  BackupCatalog catalog(b.root / "data", {b.root});
  BackupInfo info;
  ReadBackupInfo(b.folder, info);
  catalog.SelectBackup(info);
  CLocalBuckupRecovery source;
  source.SetCatalog(&catalog);
  ScanDriver driver;
  source.SetProgressCallback(&ScanDriver::ReportTrampoline, &driver);
  ScanResults results;
  CategorySet all;
  for (int c = 1; c <= kCategoryCount; ++c) all.insert(static_cast<Category>(c));
  ScanDriver::Events events;
  auto stepStart = std::chrono::steady_clock::now();
  double cpuStart = ProcessCpuSeconds();
  const bool verbose = std::getenv("ORBANIX_BENCH_VERBOSE") != nullptr;
  events.opened = [&](Status) {
    if (verbose) {
      std::cout << "  open " << Seconds(stepStart) << " s (processor " << ProcessCpuSeconds() - cpuStart
                << " s), peak " << PeakResidentMb() << " MB\n";
    }
    stepStart = std::chrono::steady_clock::now();
    cpuStart = ProcessCpuSeconds();
  };
  events.stepDone = [&](size_t, const ScanStep& step, Status) {
    if (verbose) {
      std::cout << "  " << step.name << " " << Seconds(stepStart) << " s (processor " << ProcessCpuSeconds() - cpuStart
                << " s), peak " << PeakResidentMb() << " MB, held " << MallocInUseMb() << " MB\n";
    }
    stepStart = std::chrono::steady_clock::now();
    cpuStart = ProcessCpuSeconds();
  };
  driver.Start([&] { return source.Open(""); }, BuildScanPlan(source, all, results), events);
  driver.Wait();
  records = 0;
  for (Category c : all) records += CountCategory(results, c).records;
  const double seconds = Seconds(start);
  inUseMb = MallocInUseMb();  // the results still held
  return seconds;
}

// Gives freed memory back to the system and restarts the high-water mark at
// the current resident size (Linux: writing 5 to clear_refs).
bool ResetPeakResident() {
  malloc_trim(0);
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

void BM_ScanVersusReadOnce(benchmark::State& state) {
  Backup& b = Fixture();
  if (!b.ok) {
    state.SkipWithError("fixture");
    return;
  }
  double scan = 0, base = 0, inUseMb = 0, scanPeak = 0, residentAtStart = 0;
  bool reset = true;
  size_t records = 0;
  for (auto _ : state) {
    // Each scan's own peak: what the run before left behind is given back
    // and the high-water mark restarted (one `orbanix scan` is one scan).
    ReleaseCarvedFiles();  // each run carves afresh, as one `orbanix scan` does
    reset = ResetPeakResident() && reset;
    residentAtStart = std::max(residentAtStart, PeakResidentMb());
    base += BaselineSeconds(b);
    scan += ScanSeconds(b, records, inUseMb);
    scanPeak = std::max(scanPeak, PeakResidentMb());
  }
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["ratio"] = base > 0 ? scan / base : 0;
  state.counters["records"] = static_cast<double>(records);
  state.counters["peak_MB"] = scanPeak;
  std::cout << "entries " << EnvNumber("ORBANIX_BENCH_ENTRIES", 20000) << ", sms.db "
            << fs::file_size(b.databases.front()) / (1 << 20) << " MiB\n";
  std::cout << "scan " << scan / state.iterations() << " s, read-once baseline " << base / state.iterations()
            << " s, ratio " << (base > 0 ? scan / base : 0) << ", records " << records << "\n";
  std::cout << "peak RSS of one scan (largest over the runs) " << scanPeak << " MB"
            << (reset ? "" : " (the high-water mark could not be reset: whole process)") << " (resident before them "
            << residentAtStart << " MB); whole process including the fixture " << usage.ru_maxrss / 1024
            << " MB; allocated and held at the end of a scan " << inUseMb << " MB\n";
}
BENCHMARK(BM_ScanVersusReadOnce)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
