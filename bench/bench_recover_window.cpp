// The recovery window against the command line's recovery, over the same
// ticked items in the same run: both run the recovery driver over one
// selection of photos; the command line only counts its progress, the
// window (driven offscreen) shows it. The window must close its work within
// 1.2 times the command line's time, however many items go by.
//
//   ORBANIX_BENCH_RECOVER_ITEMS  number of photos (default 21014)
//
// Reported: the window's time as the benchmark time, and the counters
// cli_s, ratio (window / command line; the target is at most 1.2) and
// repaints (how often the window took the worker's reports).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <fstream>

#include "app/preview/preview_data.h"
#include "app/preview/recover_process_wnd.h"
#include "export/recovery.h"

using namespace orbanix;
namespace fs = std::filesystem;

namespace {

size_t EnvSize(const char* name, size_t fallback) {
  const char* v = std::getenv(name);
  if (!v || !*v) return fallback;
  const long long n = std::atoll(v);
  return n > 0 ? static_cast<size_t>(n) : fallback;
}

struct Setup {
  fs::path root;
  ScanResults results;
  preview::PreviewData data;
  RecoveryOutputSource source;
  int run = 0;

  Setup() {
    root = fs::temp_directory_path() / ("orbanix-bench-recover-" + std::to_string(getpid()));
    fs::create_directories(root / "in");
    const size_t count = EnvSize("ORBANIX_BENCH_RECOVER_ITEMS", 21014);
    results.ticked = {Category::CameraRoll};
    const std::string content(3000, 'p');
    for (size_t i = 0; i < count; ++i) {
      MediaItem m;
      m.name = "IMG_" + std::to_string(i) + ".JPG";
      m.path = root / "in" / m.name;
      m.size = content.size();
      std::ofstream(m.path, std::ios::binary) << content;
      results.cameraRoll.push_back(std::move(m));
    }
    data.Reset(&results, nullptr);
    data.AddAll();
    // A copy in two pieces, as a stored file's copy reports.
    source.copyFile = [](const fs::path& from, const fs::path& to, const ReportFn& report) -> Status {
      std::error_code ec;
      if (const int answer = report(50, status::kOk, to)) return answer;
      fs::copy_file(from, to, ec);
      return report(100, ec ? ec.value() : status::kOk, to) ? status::kCancelled : status::kOk;
    };
  }
  ~Setup() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  RecoveryOptions Options() {
    RecoveryOptions options;
    options.outputRoot = root / ("out" + std::to_string(++run));
    options.templateFolder = ORBANIX_TEMPLATE_FOLDER;
    options.deviceName = "Bench Phone";
    return options;
  }
};

Setup& TheSetup() {
  static Setup setup;
  return setup;
}

double g_cliSeconds = 0;

// As `orbanix recover` does: a percent computed from the counts at every
// report, nothing drawn.
void BM_RecoverCommandLine(benchmark::State& state) {
  Setup& s = TheSetup();
  for (auto _ : state) {
    RecoveryProgress* progressPtr = nullptr;
    int shown = -1;
    RecoveryProgress::Events events;
    events.progress = [&](int, const fs::path&) {
      const RecoveryProgress::Counts n = progressPtr->counts();
      shown = n.total > 0 ? static_cast<int>((int64_t{n.done} * 100) / n.total) : 100;
    };
    RecoveryProgress progress(events);
    progressPtr = &progress;
    const auto start = std::chrono::steady_clock::now();
    const RecoveryResult result = RunRecovery(s.data.selection(), s.data.records(), s.source, s.Options(), progress);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    g_cliSeconds = seconds;
    benchmark::DoNotOptimize(shown);
    if (result.counts.written() != static_cast<int>(s.results.cameraRoll.size())) state.SkipWithError("not all written");
  }
}

void BM_RecoverWindow(benchmark::State& state) {
  Setup& s = TheSetup();
  for (auto _ : state) {
    preview::CRecoverProcessWnd window(s.data.selection(), s.data.records(), s.source, s.Options());
    // Closed as soon as it says it has finished, as a person pressing
    // "Finished" at once.
    QTimer poll;
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, &window, [&] {
      if (window.finished()) window.done(1);
    });
    poll.start();
    const auto start = std::chrono::steady_clock::now();
    const int answer = window.Run();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    state.counters["cli_s"] = g_cliSeconds;
    state.counters["ratio"] = g_cliSeconds > 0 ? seconds / g_cliSeconds : 0;
    state.counters["repaints"] = window.flushes();
    if (answer != 1 || window.result().counts.written() != static_cast<int>(s.results.cameraRoll.size())) {
      state.SkipWithError("the window did not write every item");
    }
  }
}

BENCHMARK(BM_RecoverCommandLine)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecoverWindow)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
