// The page reader against the SQLite library on a generated message-like
// table: ScanTable delivering the live rows only, and with every recovery
// step, each as a ratio to SELECT * through the library fetching every
// column, in the same run on the same file (warm in the OS cache).
//
//   ORBANIX_BENCH_MB   size of the generated database in MiB (default 20)
//   ORBANIX_BENCH_DB   reuse/keep the database at this path
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "sqlite_pages/btree.h"
#include "sqlite_pages/record.h"
#include "sqlite_pages/recovery.h"
#include "tools/backupgen/fixture_db.h"

namespace {

namespace fs = std::filesystem;

fs::path g_db;
std::map<std::string, double> g_seconds;  // best time per benchmark
uint64_t g_rows = 0;

long PeakKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void Generate(const fs::path& path, uint64_t megabytes) {
  orbanix::gen::FixtureOptions options;
  options.pageSize = 4096;
  orbanix::gen::FixtureDb db(path, options);
  db.Exec("PRAGMA synchronous=OFF");
  db.Exec(
      "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, text TEXT, "
      "replace INTEGER DEFAULT 0, service_center TEXT, handle_id INTEGER DEFAULT 0, subject TEXT, country TEXT, "
      "attributedBody BLOB, version INTEGER DEFAULT 0, type INTEGER DEFAULT 0, service TEXT, account TEXT, "
      "date INTEGER, date_read INTEGER, date_delivered INTEGER, is_delivered INTEGER DEFAULT 0, "
      "is_finished INTEGER DEFAULT 0, is_from_me INTEGER DEFAULT 0, is_read INTEGER DEFAULT 0)");
  std::mt19937_64 rng(42);
  sqlite3* h = db.handle();
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(h,
                     "INSERT INTO message (guid, text, handle_id, attributedBody, service, account, date, date_read, "
                     "date_delivered, is_delivered, is_finished, is_from_me, is_read) "
                     "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)",
                     -1, &stmt, nullptr);
  const uint64_t target = megabytes << 20;
  db.Exec("BEGIN");
  std::string text, blob;
  for (uint64_t i = 0;; ++i) {
    if (i % 4096 == 0) {
      std::error_code ec;
      if (i > 0 && fs::file_size(path, ec) >= target) break;
      db.Exec("COMMIT");
      db.Exec("BEGIN");
    }
    const size_t len = rng() % 200 == 0 ? 3000 + rng() % 6000 : 10 + rng() % 140;  // some spill to overflow pages
    text.assign(len, 'a' + static_cast<char>(rng() % 26));
    blob.assign(10 + rng() % 30, static_cast<char>(rng()));
    const std::string guid = "GUID-" + std::to_string(i) + "-" + std::to_string(rng() % 100000);
    sqlite3_bind_text(stmt, 1, guid.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 2, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    sqlite3_bind_int64(stmt, 3, static_cast<int64_t>(rng() % 500));
    sqlite3_bind_blob(stmt, 4, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
    sqlite3_bind_text(stmt, 5, rng() % 2 ? "iMessage" : "SMS", -1, SQLITE_STATIC);
    sqlite3_bind_text(stmt, 6, "e:someone@example.com", -1, SQLITE_STATIC);
    const int64_t date = 700000000000000000LL + static_cast<int64_t>(i) * 1000000000LL;
    sqlite3_bind_int64(stmt, 7, date);
    sqlite3_bind_int64(stmt, 8, date + 5);
    sqlite3_bind_int64(stmt, 9, date + 1);
    for (int c = 10; c <= 13; ++c) sqlite3_bind_int(stmt, c, static_cast<int>(rng() % 2));
    sqlite3_step(stmt);
    sqlite3_reset(stmt);
  }
  db.Exec("COMMIT");
  sqlite3_finalize(stmt);
  // Deleted rows for the recovery steps to find (secure_delete is off).
  db.Exec("DELETE FROM message WHERE ROWID % 37 = 3");
  db.Close();
}

void Record(const char* name, benchmark::State& state, double seconds) {
  state.SetIterationTime(seconds);
  auto it = g_seconds.find(name);
  if (it == g_seconds.end() || seconds < it->second) g_seconds[name] = seconds;
}

void BM_SqliteSelectAll(benchmark::State& state) {
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    sqlite3* h = nullptr;
    sqlite3_open_v2(g_db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(h, "SELECT * FROM message", -1, &stmt, nullptr);
    uint64_t rows = 0, sum = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      ++rows;
      const int n = sqlite3_column_count(stmt);
      for (int c = 0; c < n; ++c) {
        switch (sqlite3_column_type(stmt, c)) {
          case SQLITE_INTEGER: sum += static_cast<uint64_t>(sqlite3_column_int64(stmt, c)); break;
          case SQLITE_FLOAT: sum += static_cast<uint64_t>(sqlite3_column_double(stmt, c)); break;
          case SQLITE_TEXT: sum += sqlite3_column_text(stmt, c)[0] + static_cast<uint64_t>(sqlite3_column_bytes(stmt, c)); break;
          case SQLITE_BLOB:
            benchmark::DoNotOptimize(sqlite3_column_blob(stmt, c));
            sum += static_cast<uint64_t>(sqlite3_column_bytes(stmt, c));
            break;
          default: break;
        }
      }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(h);
    benchmark::DoNotOptimize(sum);
    g_rows = rows;
    Record("sqlite", state, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.counters["rows"] = static_cast<double>(g_rows);
}

// The same work per row as the library loop: every column's value fetched.
uint64_t Touch(const orbanix::ParsedRecord& r) {
  uint64_t sum = 0;
  for (int c = 0; c < r.ColumnCount(); ++c) {
    if (!r.Has(c)) continue;
    const auto& col = r.columns[c];
    if (r.IsInteger(c)) sum += static_cast<uint64_t>(r.AsInt64(c));
    else if (r.IsReal(c)) sum += static_cast<uint64_t>(r.AsReal(c));
    else if (col.length) sum += col.body[0] + col.length;
  }
  return sum;
}

void ScanOnce(benchmark::State& state, const char* name, bool recover) {
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    orbanix::CDbFileReader reader;
    reader.Open(g_db);
    orbanix::ParsedRecord rec;
    uint64_t live = 0, recovered = 0, sum = 0;
    reader.messageColumns = 20;  // what the live rows of this table show
    orbanix::ScanOptions options;
    options.recoverInTree = recover;
    options.freePageStage = recover;
    orbanix::ScanTable(
        reader, "message",
        [&](orbanix::CDbFileReader& r, const orbanix::RowInput& in) {
          const orbanix::Status st = orbanix::ParseRecord(r, in, rec);
          if (st != 0) return st;
          (in.deleted ? recovered : live) += 1;
          sum += Touch(rec);
          return 0;
        },
        options);
    benchmark::DoNotOptimize(sum);
    Record(name, state, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    state.counters["live"] = static_cast<double>(live);
    state.counters["recovered"] = static_cast<double>(recovered);
  }
}

void BM_ScanTableLive(benchmark::State& state) { ScanOnce(state, "live", false); }
void BM_ScanTableWithRecovery(benchmark::State& state) { ScanOnce(state, "recovery", true); }

}  // namespace

BENCHMARK(BM_ScanTableLive)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ScanTableWithRecovery)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SqliteSelectAll)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

int main(int argc, char** argv) {
  const char* mb = std::getenv("ORBANIX_BENCH_MB");
  const uint64_t megabytes = mb ? std::strtoull(mb, nullptr, 10) : 20;
  const char* keep = std::getenv("ORBANIX_BENCH_DB");
  g_db = keep ? fs::path(keep) : fs::temp_directory_path() / ("orbanix_bench_pages_" + std::to_string(::getpid()) + ".db");
  if (!keep || !fs::exists(g_db)) {
    std::fprintf(stderr, "generating a %llu MiB message table...\n", static_cast<unsigned long long>(megabytes));
    Generate(g_db, megabytes);
  }
  std::fprintf(stderr, "database %s: %.1f MiB; peak memory before the runs %ld KiB\n", g_db.c_str(),
               static_cast<double>(fs::file_size(g_db)) / 1048576.0, PeakKiB());
  benchmark::Initialize(&argc, argv);
  const long before = PeakKiB();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const double base = g_seconds["sqlite"];
  if (base > 0) {
    std::printf("rows %llu: SELECT * %.3f s; ScanTable live %.3f s (ratio %.2fx, target <= 1.0x); "
                "with recovery %.3f s (ratio %.2fx, target <= 2.0x)\n",
                static_cast<unsigned long long>(g_rows), base, g_seconds["live"], g_seconds["live"] / base,
                g_seconds["recovery"], g_seconds["recovery"] / base);
  }
  std::printf("peak memory: %ld KiB before the runs, %ld KiB after\n", before, PeakKiB());
  if (!keep) fs::remove(g_db);
  return 0;
}
