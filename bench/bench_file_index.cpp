// Building the file index of a large manifest against the least any index
// reader must do, in the same run: read the manifest whole and compute the
// SHA-1 of every key it keeps (the keys prepared beforehand, so the
// baseline does no parsing at all), with the same SHA-1 routine as the index.
//
//   ORBANIX_BENCH_FILE_INDEX_RECORDS     records of Manifest.mbdb (default 300000)
//   ORBANIX_BENCH_FILE_INDEX_DB_RECORDS  rows of Manifest.db (default 30000; 0 skips it)
//
// Reported: our time as the benchmark time, and the counters baseline_s,
// ours_s and ratio (ours / baseline, wall clock; the target for
// Manifest.mbdb is at most 1.5), with cpu_ratio the same over processor
// time, steadier on a busy machine. The Manifest.db figure is for information: its rows go through
// SQLite and an archived property list each.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/digest.h"
#include "sources/file_index.h"
#include "tools/backupgen/backup_writer.h"

using namespace orbanix;
namespace fs = std::filesystem;

namespace {

size_t EnvSize(const char* name, size_t fallback) {
  const char* v = std::getenv(name);
  if (!v || !*v) return fallback;
  const long long n = std::atoll(v);
  return n >= 0 ? static_cast<size_t>(n) : fallback;
}

// A manifest shaped like a phone's: many application domains, deep cache
// paths, one folder record in ten.
struct Manifest {
  fs::path folder;
  fs::path file;
  std::vector<std::string> keptKeys;
  bool ok = false;

  Manifest(const fs::path& root, gen::Era era, size_t records) {
    folder = root / (era == gen::Era::Mbdb ? "old" : "modern");
    file = folder / (era == gen::Era::Mbdb ? kMbdbFileName : kManifestDbFileName);
    gen::BackupWriter writer(folder, era);
    static const char* kDomains[] = {"HomeDomain", "MediaDomain", "CameraRollDomain", "AppDomain-com.example.app",
                                     "AppDomainGroup-group.com.example.shared"};
    char name[64];
    for (size_t i = 0; i < records; ++i) {
      gen::StoredFile f;
      f.domain = kDomains[i % 5];
      if (f.domain == std::string("AppDomain-com.example.app")) f.domain += std::to_string(i % 211);
      std::snprintf(name, sizeof name, "%08zx-%04zx.dat", i * 2654435761u % 0xFFFFFFFFu, i % 0xFFFF);
      f.relativePath = "Library/Caches/com.example.cache/fsCachedData/" + std::to_string(i % 97) + "/" + name;
      f.mode = i % 10 == 9 ? 040755 : 0100644;
      f.size = i * 37 % 1000000;
      f.hashedName = Sha1Hex(f.domain + "-" + f.relativePath);
      if (f.mode != 040755) keptKeys.push_back(f.domain + "-" + f.relativePath);
      writer.files().push_back(std::move(f));
    }
    std::string error;
    ok = writer.Finish(&error);
    if (!ok) std::cerr << "cannot generate: " << error << '\n';
  }
};

struct Setup {
  fs::path root = fs::temp_directory_path() / ("orbanix-bench-file-index-" + std::to_string(getpid()));
  Manifest mbdb{root, gen::Era::Mbdb, EnvSize("ORBANIX_BENCH_FILE_INDEX_RECORDS", 300000)};
  Manifest db{root, gen::Era::ManifestDb, EnvSize("ORBANIX_BENCH_FILE_INDEX_DB_RECORDS", 30000)};
  ~Setup() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

Setup& Fixture() {
  static Setup setup;
  return setup;
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Processor seconds of this process: steadier than the wall clock on a
// machine shared with other work.
double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// Read whole, then SHA-1 of every kept key in a tight loop.
double Baseline(const Manifest& m, double& cpu) {
  const double cpuStart = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  std::FILE* file = std::fopen(m.file.c_str(), "rb");
  if (!file) return -1;
  std::string bytes(fs::file_size(m.file), '\0');
  const size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  benchmark::DoNotOptimize(got);
  KeyHasher hasher;
  for (const std::string& key : m.keptKeys) {
    std::string hex = hasher.Hash(key);
    benchmark::DoNotOptimize(hex);
  }
  cpu += CpuSeconds() - cpuStart;
  return Seconds(start);
}

void Compare(benchmark::State& state, const Manifest& m, bool mbdb) {
  if (!m.ok || m.keptKeys.empty()) {
    state.SkipWithError("no manifest");
    return;
  }
  double ours = 0, theirs = 0, oursCpu = 0, theirsCpu = 0;
  int round = 0;
  size_t entries = 0;
  for (auto _ : state) {
    auto runOurs = [&] {
      const double cpuStart = CpuSeconds();
      const auto start = std::chrono::steady_clock::now();
      std::vector<BackupFileEntry> index;
      const Status s = mbdb ? ReadManifest(m.file, index) : ReadManifestDb(m.file, index);
      const double t = Seconds(start);
      oursCpu += CpuSeconds() - cpuStart;
      entries = s == 0 ? index.size() : 0;
      return t;
    };
    double mine = 0, t = 0;
    if (round++ % 2) {
      mine = runOurs();
      t = Baseline(m, theirsCpu);
    } else {
      t = Baseline(m, theirsCpu);
      mine = runOurs();
    }
    if (t < 0 || entries != m.keptKeys.size()) {
      state.SkipWithError("index differs from the manifest");
      return;
    }
    state.SetIterationTime(mine);
    ours += mine;
    theirs += t;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["baseline_s"] = theirs / n;
  state.counters["ours_s"] = ours / n;
  state.counters["ratio"] = theirs > 0 ? ours / theirs : 0;
  state.counters["cpu_ratio"] = theirsCpu > 0 ? oursCpu / theirsCpu : 0;
  state.counters["entries"] = static_cast<double>(entries);
  std::cout << (mbdb ? "Manifest.mbdb" : "Manifest.db") << ": " << entries << " entries, ours "
            << ours / n * 1000 << " ms, baseline " << theirs / n * 1000 << " ms, ratio " << (theirs > 0 ? ours / theirs : 0)
            << " (processor time ratio " << (theirsCpu > 0 ? oursCpu / theirsCpu : 0) << ")\n";
}

void BM_MbdbIndexVsReadAndHash(benchmark::State& state) { Compare(state, Fixture().mbdb, true); }
void BM_ManifestDbIndexVsReadAndHash(benchmark::State& state) { Compare(state, Fixture().db, false); }

BENCHMARK(BM_MbdbIndexVsReadAndHash)->UseManualTime()->Iterations(6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManifestDbIndexVsReadAndHash)->UseManualTime()->Iterations(4)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
