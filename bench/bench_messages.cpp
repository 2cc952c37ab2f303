// The full message scan (four tables, the address book, the joins, the sort)
// against ScanTable of the message table alone, parsing every record, on the
// same generated sms.db in the same run. Both include the recovery steps.
//
//   ORBANIX_BENCH_MESSAGES   messages in sms.db (default 50,000)
//   ORBANIX_BENCH_HANDLES    handles (default 500)
//   ORBANIX_BENCH_CONTACTS   persons in the address book (default 5,000)
//   ORBANIX_BENCH_WIDE       1: the wide message layout of newer phones
//   ORBANIX_BENCH_KEEP       a folder that keeps the generated databases: they
//                            are reused when already there (for profiling
//                            the scan without the generation)
//
// Reported: the scan's time as the benchmark time, and the counters
// scantable_s and ratio (scan / ScanTable, wall clock; the target is at most
// 1.5), with cpu_ratio the same over the processor time of the whole
// process (every thread the scan uses; ScanTable uses one), which shows the
// work done rather than the time waited.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <iostream>

#include "extractors/messages.h"
#include "sqlite_pages/record.h"
#include "tools/backupgen/family_contacts.h"
#include "tools/backupgen/family_messages.h"

using namespace orbanix;
namespace fs = std::filesystem;

namespace {

long long EnvNumber(const char* name, long long fallback) {
  const char* v = std::getenv(name);
  if (!v || !*v) return fallback;
  const long long n = std::atoll(v);
  return n >= 0 ? n : fallback;
}

struct Setup {
  fs::path root, sms, addressBook;
  size_t messages = 0;
  bool ok = false;

  bool keep = false;

  Setup() {
    const char* kept = std::getenv("ORBANIX_BENCH_KEEP");
    keep = kept && *kept;
    root = keep ? fs::path(kept) : fs::temp_directory_path() / ("orbanix-bench-messages-" + std::to_string(getpid()));
    fs::create_directories(root);
    sms = root / "sms.db";
    addressBook = root / "AddressBook.sqlitedb";
    if (keep && fs::exists(sms) && fs::exists(addressBook)) {
      ok = true;
      return;
    }
    try {
      gen::SmsShape shape;
      shape.messages = static_cast<int>(EnvNumber("ORBANIX_BENCH_MESSAGES", 50000));
      shape.handles = static_cast<int>(EnvNumber("ORBANIX_BENCH_HANDLES", 500));
      shape.layout = EnvNumber("ORBANIX_BENCH_WIDE", 0) ? gen::SmsLayout::kWide : gen::SmsLayout::kOld38;
      const gen::SmsTruth truth = gen::BuildSmsDb(sms, shape);
      messages = truth.liveMessages.size();
      gen::AddressBookShape book;
      book.persons = static_cast<int>(EnvNumber("ORBANIX_BENCH_CONTACTS", 5000));
      gen::BuildAddressBook(addressBook, book);
      ok = true;
    } catch (const std::exception& e) {
      std::cerr << "cannot generate: " << e.what() << '\n';
    }
  }
  ~Setup() {
    std::error_code ec;
    if (!keep) fs::remove_all(root, ec);
  }
};

Setup& Fixture() {
  static Setup setup;
  return setup;
}

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double ScanTableSeconds(const Setup& s, size_t& rows) {
  const auto start = std::chrono::steady_clock::now();
  CDbFileReader reader;
  if (reader.Open(s.sms) != 0) return -1;
  ParsedRecord record;
  rows = 0;
  ScanTable(reader, "message", [&](CDbFileReader& r, const RowInput& input) {
    const Status st = ParseRecord(r, input, record);
    rows += st == 0;
    return st;
  });
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The scan's wall and processor time; the conversations it returns are
// freed after both are taken (freeing is not part of a scan).
double ScanMessagesSeconds(const Setup& s, size_t& delivered, double& cpuSeconds) {
  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = ProcessCpuSeconds();
  ConversationMap map;
  int64_t maxRowId = 0;
  if (ScanMessages(s.sms, s.addressBook, map, maxRowId) != 0) return -1;
  const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  cpuSeconds = ProcessCpuSeconds() - cpuStart;
  delivered = 0;
  for (const auto& [handle, list] : map) delivered += list.size();
  return t;
}

void BM_MessageScanVsScanTable(benchmark::State& state) {
  Setup& s = Fixture();
  if (!s.ok) {
    state.SkipWithError("fixture failed");
    return;
  }
  double ours = 0, baseline = 0, oursCpu = 0, baselineCpu = 0;
  size_t rows = 0, delivered = 0;
  int round = 0;
  for (auto _ : state) {
    double base = 0, mine = 0;
    auto timeBase = [&] {
      const double cpu = ProcessCpuSeconds();
      base = ScanTableSeconds(s, rows);
      baselineCpu += ProcessCpuSeconds() - cpu;
    };
    auto timeMine = [&] {
      double cpu = 0;
      mine = ScanMessagesSeconds(s, delivered, cpu);
      oursCpu += cpu;
    };
    if (round++ % 2 == 0) {
      timeBase();
      timeMine();
    } else {
      timeMine();
      timeBase();
    }
    if (base < 0 || mine < 0) {
      state.SkipWithError("scan failed");
      return;
    }
    state.SetIterationTime(mine);
    ours += mine;
    baseline += base;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["scantable_s"] = baseline / n;
  state.counters["scan_s"] = ours / n;
  state.counters["ratio"] = baseline > 0 ? ours / baseline : 0;
  state.counters["cpu_ratio"] = baselineCpu > 0 ? oursCpu / baselineCpu : 0;
  std::cout << "rows " << rows << ": scan " << ours / n << " s, ScanTable " << baseline / n << " s, ratio "
            << (baseline > 0 ? ours / baseline : 0) << " (processor time ratio "
            << (baselineCpu > 0 ? oursCpu / baselineCpu : 0) << ")\n";
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["delivered"] = static_cast<double>(delivered);
}

BENCHMARK(BM_MessageScanVsScanTable)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
