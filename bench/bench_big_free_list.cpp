// The table scan of a large database whose free list is most of the file,
// and its peak resident memory: the free pages must be read and let go,
// never held. Too large for the test suite; run by hand.
//
// The database is made in the temporary folder (or at ORBANIX_BENCH_DB,
// kept and used again): a table of live rows written with the SQLite
// library (ORBANIX_BENCH_LIVE_MB, default 512; a twentieth of them deleted),
// then the file grown to ORBANIX_BENCH_TOTAL_MB (default 2048) with every
// new page on the free list: trunk pages listing the leaves, most leaves
// never written (holes of a sparse file, zeros when read), every sixteenth
// a copy of one of the table's leaf pages (records to try, each equal to a
// live row). Then, each on a fresh reader:
//
//   carve   the carver's finds for the file (what every table scan uses)
//   scan    ScanTable of the table with every recovery step, rows counted
//
// Printed: the sizes, the time of each, the rows found, the peak resident
// memory of each (the high-water mark restarted before it) and that of the
// whole process (getrusage).
#include <fcntl.h>
#include <malloc.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "sqlite_pages/btree.h"
#include "sqlite_pages/carver.h"
#include "sqlite_pages/deleted_rows.h"
#include "sqlite_pages/record.h"
#include "tools/backupgen/fixture_db.h"

namespace {

namespace fs = std::filesystem;
constexpr uint32_t kPageSize = 4096;

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  if (!v || !*v) return fallback;
  const unsigned long long n = std::strtoull(v, nullptr, 10);
  return n > 0 ? n : fallback;
}

// The kernel's high-water mark of resident memory (VmHWM), in MB.
double PeakResidentMb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return -1;
}

// Gives freed memory back to the system and restarts the high-water mark at
// the current resident size (Linux: 5 written to clear_refs), so that each
// step's peak is its own.
void RestartPeak() {
  malloc_trim(0);
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void WriteLiveTable(const fs::path& path, uint64_t liveMb) {
  orbanix::gen::FixtureOptions options;
  options.pageSize = kPageSize;
  orbanix::gen::FixtureDb db(path, options);
  db.Exec("PRAGMA synchronous=OFF");
  db.Exec("PRAGMA journal_mode=OFF");
  db.Exec("CREATE TABLE items (id INTEGER PRIMARY KEY, kind INTEGER, body TEXT, amount REAL, stamp INTEGER)");
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db.handle(), "INSERT INTO items (kind, body, amount, stamp) VALUES (?,?,?,?)", -1, &stmt,
                     nullptr);
  std::mt19937_64 rng(11);
  const uint64_t rows = (liveMb << 20) / 110;  // about 110 bytes of page space a row
  std::string text;
  db.Exec("BEGIN");
  for (uint64_t i = 0; i < rows; ++i) {
    text.assign(10 + rng() % 100, static_cast<char>('a' + rng() % 26));
    sqlite3_bind_int(stmt, 1, static_cast<int>(rng() % 9));
    sqlite3_bind_text(stmt, 2, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    sqlite3_bind_double(stmt, 3, static_cast<double>(rng() % 100000) / 100.0 + 0.5);
    sqlite3_bind_int64(stmt, 4, 1700000000 + static_cast<int64_t>(i));
    sqlite3_step(stmt);
    sqlite3_reset(stmt);
  }
  db.Exec("COMMIT");
  sqlite3_finalize(stmt);
  db.Exec("DELETE FROM items WHERE id % 20 = 7");
  db.Close();
}

// Grows the file to `totalPages`, every new page on the free list in front
// of the list the deletions left.
bool GrowFreeList(const fs::path& path, uint64_t totalPages) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<uint8_t> header(kPageSize);
  bool ok = ::pread(fd, header.data(), kPageSize, 0) == static_cast<ssize_t>(kPageSize);
  const uint64_t firstNew = static_cast<uint64_t>(fs::file_size(path)) / kPageSize + 1;  // 1-based
  // A leaf page of the table to copy onto some free pages: the last page
  // written, whose type byte says so, else none.
  std::vector<uint8_t> leaf(kPageSize);
  bool haveLeaf = false;
  for (uint64_t p = firstNew - 1; ok && p > 1 && !haveLeaf; --p) {
    haveLeaf = ::pread(fd, leaf.data(), kPageSize, static_cast<off_t>((p - 1) * kPageSize)) ==
                   static_cast<ssize_t>(kPageSize) &&
               leaf[0] == 13;
  }
  uint32_t oldTrunk = Be32(header.data() + 32);
  uint32_t freeCount = Be32(header.data() + 36);
  const uint32_t perTrunk = kPageSize / 4 - 2;
  std::vector<uint8_t> trunk(kPageSize);
  // Trunks from the end of the file backwards, each leading to the one made
  // before it (the last made is the list's head).
  uint32_t next = oldTrunk;
  for (uint64_t start = firstNew; ok && start <= totalPages; start += perTrunk + 1) {
    std::fill(trunk.begin(), trunk.end(), 0);
    const uint32_t leaves = static_cast<uint32_t>(std::min<uint64_t>(perTrunk, totalPages - start));
    PutBe32(trunk.data(), next);
    PutBe32(trunk.data() + 4, leaves);
    for (uint32_t i = 0; i < leaves; ++i) {
      const uint64_t page = start + 1 + i;
      PutBe32(trunk.data() + 8 + 4 * i, static_cast<uint32_t>(page));
      if (haveLeaf && page % 16 == 0) {
        ok = ok && ::pwrite(fd, leaf.data(), kPageSize, static_cast<off_t>((page - 1) * kPageSize)) ==
                       static_cast<ssize_t>(kPageSize);
      }
    }
    ok = ok && ::pwrite(fd, trunk.data(), kPageSize, static_cast<off_t>((start - 1) * kPageSize)) ==
                   static_cast<ssize_t>(kPageSize);
    next = static_cast<uint32_t>(start);
    freeCount += 1 + leaves;
  }
  ok = ok && ::ftruncate(fd, static_cast<off_t>(totalPages * kPageSize)) == 0;
  // Page count, free list head and size; the page count is trusted by the
  // library only with the change counter copied to the "valid for" field.
  PutBe32(header.data() + 28, static_cast<uint32_t>(totalPages));
  PutBe32(header.data() + 32, next);
  PutBe32(header.data() + 36, freeCount);
  std::memcpy(header.data() + 92, header.data() + 24, 4);
  ok = ok && ::pwrite(fd, header.data(), 100, 0) == 100;
  ::close(fd);
  return ok;
}

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
  const uint64_t liveMb = EnvNumber("ORBANIX_BENCH_LIVE_MB", 512);
  const uint64_t totalMb = std::max(EnvNumber("ORBANIX_BENCH_TOTAL_MB", 2048), liveMb + 16);
  const char* keep = std::getenv("ORBANIX_BENCH_DB");
  const fs::path path =
      keep ? fs::path(keep) : fs::temp_directory_path() / ("orbanix_bench_big_" + std::to_string(::getpid()) + ".db");
  if (!keep || !fs::exists(path)) {
    std::fprintf(stderr, "writing %llu MiB of live rows...\n", static_cast<unsigned long long>(liveMb));
    WriteLiveTable(path, liveMb);
    if (!GrowFreeList(path, (totalMb << 20) / kPageSize)) {
      std::fprintf(stderr, "cannot grow the free list of %s\n", path.c_str());
      return 1;
    }
  }
  const double generationPeak = PeakResidentMb();
  int code = 0;
  RestartPeak();
  {
    orbanix::CDbFileReader reader;
    if (reader.Open(path) != 0) {
      std::fprintf(stderr, "cannot open %s\n", path.c_str());
      return 1;
    }
    std::printf("database %.0f MiB, %llu pages, %zu on the free list (%.0f MiB); peak after generating %.0f MB\n",
                static_cast<double>(reader.FileSize()) / 1048576.0,
                static_cast<unsigned long long>(reader.PageCount()), reader.freePages.size(),
                static_cast<double>(reader.freePages.size()) * kPageSize / 1048576.0, generationPeak);
    const auto start = std::chrono::steady_clock::now();
    orbanix::CarvedFile carved;
    const orbanix::Status st = orbanix::CarveFile(reader, path, carved);
    std::printf("carve: status %d, %.1f s, %zu rows, %zu pages searched, %zu equal to live rows; peak RSS %.0f MB\n",
                st, Since(start), carved.rows.size(), carved.stats.pagesSearched, carved.stats.droppedAsLive,
                PeakResidentMb());
    code = st == 0 ? 0 : 1;
  }
  RestartPeak();
  {
    orbanix::CDbFileReader reader;
    reader.Open(path);
    const auto start = std::chrono::steady_clock::now();
    orbanix::ParsedRecord record;
    uint64_t live = 0, deleted = 0;
    const orbanix::Status st = orbanix::ScanTable(reader, "items", [&](orbanix::CDbFileReader& r,
                                                                       const orbanix::RowInput& in) {
      const orbanix::Status parsed = orbanix::ParseRecord(r, in, record);
      if (parsed == 0) ++(in.deleted ? deleted : live);
      return parsed;
    });
    orbanix::ReleaseCarvedFiles();
    std::printf("scan: status %d, %.1f s, %llu live rows, %llu deleted rows; peak RSS %.0f MB\n", st, Since(start),
                static_cast<unsigned long long>(live), static_cast<unsigned long long>(deleted), PeakResidentMb());
    code = st == 0 ? code : 1;
  }
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("whole process: peak RSS %.0f MB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
  if (!keep) fs::remove(path);
  return code;
}
