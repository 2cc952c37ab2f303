// Carving of deleted rows against the live-row scan of the same tables, in
// the same run on the same file (warm in the OS cache): a generated database
// of a few tens of MiB with tables of mixed column types, rows deleted singly
// and in runs, and one table dropped.
//
//   ORBANIX_BENCH_MB   size of the generated database in MiB (default 24)
//   ORBANIX_BENCH_DB   reuse/keep the database at this path
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "sqlite_pages/btree.h"
#include "sqlite_pages/carver.h"
#include "sqlite_pages/record.h"
#include "sqlite_pages/recovery.h"
#include "tools/backupgen/fixture_db.h"

namespace {

namespace fs = std::filesystem;

fs::path g_db;
std::map<std::string, double> g_seconds;  // best time per benchmark
std::map<std::string, double> g_cpu;      // processor time of every thread of the best run
uint64_t g_live = 0, g_carved = 0;

void Fill(orbanix::gen::FixtureDb& db, const std::string& table, uint64_t rows, std::mt19937_64& rng) {
  sqlite3* h = db.handle();
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(h, ("INSERT INTO " + table + " (kind, body, amount, stamp, data, note) VALUES (?,?,?,?,?,?)").c_str(),
                     -1, &stmt, nullptr);
  std::string text, blob;
  db.Exec("BEGIN");
  for (uint64_t i = 0; i < rows; ++i) {
    const size_t len = rng() % 300 == 0 ? 2000 + rng() % 6000 : 5 + rng() % 120;  // some spill to overflow pages
    text.assign(len, static_cast<char>('a' + rng() % 26));
    blob.assign(rng() % 24, static_cast<char>(rng()));
    sqlite3_bind_int(stmt, 1, static_cast<int>(rng() % 7));
    sqlite3_bind_text(stmt, 2, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    if (rng() % 8 == 0) sqlite3_bind_null(stmt, 3);
    else sqlite3_bind_double(stmt, 3, static_cast<double>(rng() % 1000000) / 100.0 + 0.25);
    sqlite3_bind_int64(stmt, 4, 1700000000000LL + static_cast<int64_t>(rng() % 100000000000ULL));
    sqlite3_bind_blob(stmt, 5, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
    sqlite3_bind_text(stmt, 6, rng() % 2 ? "sent" : "received", -1, SQLITE_STATIC);
    sqlite3_step(stmt);
    sqlite3_reset(stmt);
  }
  db.Exec("COMMIT");
  sqlite3_finalize(stmt);
}

void Generate(const fs::path& path, uint64_t megabytes) {
  orbanix::gen::FixtureOptions options;
  options.pageSize = 4096;
  orbanix::gen::FixtureDb db(path, options);
  db.Exec("PRAGMA synchronous=OFF");
  const char* columns = "(id INTEGER PRIMARY KEY, kind INTEGER, body TEXT, amount REAL, stamp INTEGER, data BLOB, note)";
  for (const char* name : {"events", "notes", "old_events"}) db.Exec(std::string("CREATE TABLE ") + name + columns);
  std::mt19937_64 rng(7);
  // About 110 bytes a row; the dropped table takes a tenth of the file.
  const uint64_t rows = (megabytes << 20) / 110;
  Fill(db, "events", rows * 6 / 10, rng);
  Fill(db, "notes", rows * 3 / 10, rng);
  Fill(db, "old_events", rows / 10, rng);
  // Deleted rows for the carver to find (secure_delete is off): singles and
  // runs of neighbours.
  db.Exec("DELETE FROM events WHERE id % 29 = 3 OR id % 500 BETWEEN 100 AND 107");
  db.Exec("DELETE FROM notes WHERE id % 41 = 5");
  db.Exec("DROP TABLE old_events");
  db.Close();
}

// Processor time of every thread of the process, in seconds (the carver
// searches with two threads).
double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void Record(const char* name, benchmark::State& state, double seconds, double cpu) {
  state.SetIterationTime(seconds);
  auto it = g_seconds.find(name);
  if (it == g_seconds.end() || seconds < it->second) {
    g_seconds[name] = seconds;
    g_cpu[name] = cpu;
  }
}

// Every live row of every table through the page reader, every value decoded.
void BM_LiveScan(benchmark::State& state) {
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ProcessCpuSeconds();
    orbanix::CDbFileReader reader;
    reader.Open(g_db);
    std::vector<orbanix::CarveTable> tables;
    orbanix::LoadCarveTables(reader, g_db, tables);
    orbanix::ParsedRecord scratch;
    uint64_t live = 0;
    for (const orbanix::CarveTable& t : tables) {
      orbanix::ScanOptions options;
      options.recoverInTree = false;
      options.freePageStage = false;
      orbanix::ScanTable(
          reader, t.name,
          [&](orbanix::CDbFileReader& r, const orbanix::RowInput& in) {
            orbanix::GenericRow row;
            if (orbanix::DecodeGenericRow(r, in, row, scratch, -1, t.schema.columnCount) == 0) ++live;
            benchmark::DoNotOptimize(row);
            return 0;
          },
          options);
    }
    g_live = live;
    Record("live", state, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
           ProcessCpuSeconds() - cpuStart);
  }
  state.counters["rows"] = static_cast<double>(g_live);
}

// The carving of the deleted rows of every table and of the dropped one.
void BM_Carve(benchmark::State& state) {
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ProcessCpuSeconds();
    orbanix::CDbFileReader reader;
    reader.Open(g_db);
    std::vector<orbanix::CarveTable> tables;
    orbanix::LoadCarveTables(reader, g_db, tables);
    std::vector<orbanix::CarvedRow> rows;
    orbanix::CarveDeletedRows(reader, tables, rows);
    g_carved = rows.size();
    Record("carve", state, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
           ProcessCpuSeconds() - cpuStart);
  }
  state.counters["rows"] = static_cast<double>(g_carved);
}

}  // namespace

BENCHMARK(BM_LiveScan)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Carve)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char** argv) {
  const char* mb = std::getenv("ORBANIX_BENCH_MB");
  const uint64_t megabytes = mb ? std::strtoull(mb, nullptr, 10) : 24;
  const char* keep = std::getenv("ORBANIX_BENCH_DB");
  g_db = keep ? fs::path(keep) : fs::temp_directory_path() / ("orbanix_bench_carver_" + std::to_string(::getpid()) + ".db");
  if (!keep || !fs::exists(g_db)) {
    std::fprintf(stderr, "generating a %llu MiB database...\n", static_cast<unsigned long long>(megabytes));
    Generate(g_db, megabytes);
  }
  std::fprintf(stderr, "database %s: %.1f MiB\n", g_db.c_str(), static_cast<double>(fs::file_size(g_db)) / 1048576.0);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const double base = g_seconds["live"];
  if (base > 0) {
    std::printf("live rows %llu in %.3f s; carved rows %llu in %.3f s; carving / live scan ratio %.1fx\n",
                static_cast<unsigned long long>(g_live), base, static_cast<unsigned long long>(g_carved),
                g_seconds["carve"], g_seconds["carve"] / base);
    // On a loaded machine the wall clock counts the time waited for a
    // processor too: the ratio of the processor time of every thread tells
    // the work done.
    if (g_cpu["live"] > 0) {
      std::printf("processor time: live scan %.3f s, carving %.3f s, ratio %.1fx\n", g_cpu["live"], g_cpu["carve"],
                  g_cpu["carve"] / g_cpu["live"]);
    }
  }
  if (!keep) fs::remove(g_db);
  return 0;
}
