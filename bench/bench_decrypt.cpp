// Deciphering an encrypted backup against `openssl enc -d -aes-256-cbc` over
// the same stored files, in the same run. The key derivation is left out of
// both: the backup is unlocked once before timing (and its key bag uses tiny
// iteration counts anyway), and openssl is given each file's raw key.
//
//   ORBANIX_BENCH_DECRYPT_MB     total size of the stored files (default 32)
//   ORBANIX_BENCH_DECRYPT_FILES  number of stored files (default 8)
//   ORBANIX_BENCH_DECRYPT_THREADS worker threads (default 0: one per processor)
//
// Reported: our time as the benchmark time, and the counters openssl_s and
// ratio (ours / openssl; the target is at most 1.5).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>

#include "decrypt/backup_decryptor.h"
#include "platform/process.h"
#include "platform/text.h"
#include "tools/backupgen/backup_writer.h"

using namespace orbanix;
namespace fs = std::filesystem;

namespace {

size_t EnvSize(const char* name, size_t fallback) {
  const char* v = std::getenv(name);
  if (!v || !*v) return fallback;
  const long long n = std::atoll(v);
  return n > 0 ? static_cast<size_t>(n) : fallback;
}

struct Stored {
  fs::path path;
  std::string keyHex;
};

struct Setup {
  fs::path root;
  fs::path backup;
  decrypt::UnlockedBackup unlocked;
  std::vector<Stored> files;
  uint64_t bytes = 0;
  bool ok = false;

  Setup() {
    root = fs::temp_directory_path() / ("orbanix-bench-decrypt-" + std::to_string(getpid()));
    backup = root / "backup";
    const size_t total = EnvSize("ORBANIX_BENCH_DECRYPT_MB", 32) << 20;
    const size_t count = std::max<size_t>(1, EnvSize("ORBANIX_BENCH_DECRYPT_FILES", 8));
    gen::BackupWriter writer(backup, gen::Era::ManifestDb);
    std::string content(total / count, '\0');
    uint32_t x = 12345;
    for (size_t i = 0; i < count; ++i) {
      for (char& c : content) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 23);
      }
      writer.AddFile("CameraRollDomain", "Media/DCIM/100APPLE/IMG_" + std::to_string(i) + ".MOV", content);
      bytes += content.size();
    }
    gen::EncryptionOptions options;
    options.password = "bench";
    options.iterations = 1;
    options.dpIterations = 1;
    writer.EncryptWith(options);
    std::string error;
    if (!writer.Finish(&error)) {
      std::cerr << "cannot generate: " << error << '\n';
      return;
    }
    if (decrypt::UnlockBackup(backup, options.password, unlocked, &error) != 0) {
      std::cerr << "cannot unlock: " << error << '\n';
      return;
    }
    for (const auto& f : writer.files()) {
      decrypt::Key256 key{};
      if (decrypt::UnwrapWithClassKey(unlocked.classKeys, f.encryptionKey, f.protectionClass, key) != 0) return;
      files.push_back({writer.StoredPath(f.hashedName), HexLower(key.data(), key.size())});
    }
    ok = true;
  }
  ~Setup() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

Setup& Fixture() {
  static Setup setup;
  return setup;
}

double OpensslSeconds(const Setup& s, const fs::path& outFolder) {
  const auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < s.files.size(); ++i) {
    ChildProcess child;
    const std::string out = (outFolder / ("f" + std::to_string(i))).string();
    if (child.Start("/usr/bin/openssl", {"enc", "-d", "-aes-256-cbc", "-K", s.files[i].keyHex, "-iv",
                                         std::string(32, '0'), "-in", s.files[i].path.string(), "-out", out}) != 0)
      return -1;
    int code = -1;
    child.Wait(code);
    if (code != 0) return -1;
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_DecryptBackupVsOpenssl(benchmark::State& state) {
  Setup& s = Fixture();
  if (!s.ok) {
    state.SkipWithError("fixture failed");
    return;
  }
  double ours = 0, theirs = 0;
  int round = 0;
  for (auto _ : state) {
    const fs::path out = s.root / "out";
    const fs::path baseline = s.root / "openssl";
    fs::remove_all(out);
    fs::remove_all(baseline);
    fs::create_directories(baseline);

    // Each side starts with no dirty pages of the other's output waiting to
    // be written back, and the order alternates between iterations.
    auto runOpenssl = [&] {
      sync();
      const double t = OpensslSeconds(s, baseline);
      fs::remove_all(baseline);
      return t;
    };
    decrypt::DecryptSummary summary;
    Status st = 0;
    auto runOurs = [&] {
      sync();
      decrypt::DecryptOptions options;
      options.threads = static_cast<unsigned>(EnvSize("ORBANIX_BENCH_DECRYPT_THREADS", 0));
      const auto start = std::chrono::steady_clock::now();
      st = decrypt::WriteDecryptedCopy(s.unlocked, out, options, {}, summary);
      return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    const bool oursFirst = (round++ % 2) == 1;
    double t = 0, mine = 0;
    if (oursFirst) {
      mine = runOurs();
      t = runOpenssl();
    } else {
      t = runOpenssl();
      mine = runOurs();
    }
    if (t < 0) {
      state.SkipWithError("openssl failed");
      return;
    }
    if (st != 0 || !summary.problems.empty()) {
      state.SkipWithError("decryption failed");
      return;
    }
    state.SetIterationTime(mine);
    ours += mine;
    theirs += t;
  }
  state.counters["openssl_s"] = theirs / static_cast<double>(state.iterations());
  state.counters["ours_s"] = ours / static_cast<double>(state.iterations());
  state.counters["ratio"] = theirs > 0 ? ours / theirs : 0;
  state.counters["MB"] = static_cast<double>(s.bytes) / (1 << 20);
  state.SetBytesProcessed(static_cast<int64_t>(s.bytes) * state.iterations());
}

BENCHMARK(BM_DecryptBackupVsOpenssl)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
