#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sources/scan_driver.h"

using namespace orbanix;
using namespace std::chrono_literals;

namespace {

struct Recorder {
  std::mutex lock;
  std::vector<int> shown;
  std::vector<std::string> ran;
  std::vector<Status> stepStatus;
  int finishedCalls = 0;
  ScanOutcome outcome = ScanOutcome::kCompleted;
  bool opened = false;

  ScanDriver::Events Events() {
    ScanDriver::Events e;
    e.progress = [this](int p, const std::string&) {
      std::lock_guard<std::mutex> g(lock);
      shown.push_back(p);
    };
    e.opened = [this](Status) { opened = true; };
    e.stepDone = [this](size_t, const ScanStep& s, Status st) {
      std::lock_guard<std::mutex> g(lock);
      ran.push_back(s.name);
      stepStatus.push_back(st);
    };
    e.finished = [this](ScanOutcome o, Status) {
      std::lock_guard<std::mutex> g(lock);
      outcome = o;
      ++finishedCalls;
    };
    return e;
  }
};

}  // namespace

TEST(ScanDriver, PercentNeverGoesBackAndNeverShows100) {
  ScanDriver driver;
  Recorder rec;
  auto open = [&] {
    driver.Report(0);
    driver.Report(1);
    return Status(0);
  };
  std::vector<ScanStep> steps = {
      {"a", [&] { for (int v : {5, 3, 5, 40, 12}) driver.Report(v); return Status(0); }},
      {"b", [&] { for (int v : {100, 150, 60}) driver.Report(v); return Status(0); }},
  };
  ASSERT_EQ(driver.Start(open, steps, rec.Events()), 0);
  driver.Wait();
  EXPECT_EQ(rec.shown, (std::vector<int>{2, 5, 40, 99}));
  EXPECT_EQ(rec.finishedCalls, 1);
  EXPECT_EQ(rec.outcome, ScanOutcome::kCompleted);
}

TEST(ScanDriver, MissingDatabaseEndsOnlyItsOwnOperation) {
  ScanDriver driver;
  Recorder rec;
  std::vector<ScanStep> steps = {
      {"notes", [] { return Status(ENOENT); }},  // same value as a cancel
      {"calls", [] { return Status(0); }},
      {"odd", [] { return Status(1006); }},      // an unusual last status still finishes
  };
  ASSERT_EQ(driver.Start([] { return Status(0); }, steps, rec.Events()), 0);
  driver.Wait();
  EXPECT_EQ(rec.ran, (std::vector<std::string>{"notes", "calls", "odd"}));
  EXPECT_EQ(rec.finishedCalls, 1);
  EXPECT_EQ(rec.outcome, ScanOutcome::kCompleted);
}

TEST(ScanDriver, OpenResultsDecideTheSequence) {
  for (auto [openStatus, outcome, stepsRun] :
       {std::tuple{Status(-110), ScanOutcome::kWrongPassword, 0u},
        std::tuple{Status(-1), ScanOutcome::kCannotOpen, 0u},
        std::tuple{Status(87), ScanOutcome::kCompleted, 1u}}) {  // no manifest: fixed names still read
    ScanDriver driver;
    Recorder rec;
    ASSERT_EQ(driver.Start([s = openStatus] { return s; }, {{"x", [] { return Status(0); }}}, rec.Events()), 0);
    driver.Wait();
    EXPECT_EQ(rec.outcome, outcome) << openStatus;
    EXPECT_EQ(rec.ran.size(), stepsRun) << openStatus;
    EXPECT_EQ(rec.opened, stepsRun == 1u);
    EXPECT_EQ(rec.finishedCalls, 1);
  }
}

TEST(ScanDriver, PauseBlocksAtTheNextReportAndResumeGoesOn) {
  ScanDriver driver;
  Recorder rec;
  std::atomic<int> reached{0};
  std::vector<ScanStep> steps = {{"a", [&] {
    for (int v = 10; v <= 50; v += 10) {
      driver.Report(v);
      reached = v;
    }
    return Status(0);
  }}};
  std::atomic<bool> go{false};
  auto open = [&] {
    while (!go) std::this_thread::sleep_for(1ms);
    return Status(0);
  };
  ASSERT_EQ(driver.Start(open, steps, rec.Events()), 0);
  driver.Pause();
  go = true;
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(reached.load(), 0);  // blocked in the first report
  EXPECT_TRUE(driver.Paused());
  driver.Resume();
  driver.Wait();
  EXPECT_EQ(reached.load(), 50);
  EXPECT_EQ(rec.outcome, ScanOutcome::kCompleted);
}

TEST(ScanDriver, PausedThenCancelledEndsFinishedNotPaused) {
  ScanDriver driver;
  Recorder rec;
  std::atomic<int> reports{0};
  std::vector<ScanStep> steps = {
      {"a", [&] {
         for (int v = 3; v < 90; ++v) {
           ++reports;
           if (driver.Report(v) != 0) return Status(2);
           std::this_thread::sleep_for(1ms);
         }
         return Status(0);
       }},
      {"b", [] { return Status(0); }}};
  ASSERT_EQ(driver.Start([] { return Status(0); }, steps, rec.Events()), 0);
  std::this_thread::sleep_for(20ms);
  driver.Pause();
  std::this_thread::sleep_for(20ms);
  const int atPause = reports.load();
  std::this_thread::sleep_for(20ms);
  EXPECT_LE(reports.load(), atPause + 1);
  driver.Cancel();
  driver.Wait();
  EXPECT_FALSE(driver.Paused());
  EXPECT_FALSE(driver.Running());
  EXPECT_EQ(rec.outcome, ScanOutcome::kCancelled);
  EXPECT_EQ(rec.ran, (std::vector<std::string>{"a"}));  // "b" never started
  EXPECT_EQ(rec.finishedCalls, 1);
}

TEST(ScanDriver, SecondStartWhileRunningIsRefusedAndRestartAfterwardsWorks) {
  ScanDriver driver;
  Recorder rec;
  std::atomic<bool> release{false};
  ASSERT_EQ(driver.Start([&] { while (!release) std::this_thread::sleep_for(1ms); return Status(0); }, {},
                         rec.Events()), 0);
  EXPECT_EQ(driver.Start([] { return Status(0); }, {}, rec.Events()), 87);
  release = true;
  driver.Wait();
  ASSERT_EQ(driver.Start([] { return Status(0); }, {}, rec.Events()), 0);
  driver.Wait();
  EXPECT_EQ(rec.finishedCalls, 2);
}

// Work an operation began for later ones is settled once the scan has
// ended, whether every operation ran or a cancel stopped the sequence
// before the ones it was begun for, and always before the end is reported
// (a front end may let the source go then).
TEST(ScanDriver, BegunWorkIsSettledBeforeTheEndIsReported) {
  for (const bool cancel : {false, true}) {
    ScanDriver driver;
    Recorder rec;
    std::atomic<bool> begun{false}, settled{false};
    std::atomic<int> settles{0};
    std::thread beside;
    std::vector<ScanStep> steps = {
        {"first",
         [&] {
           begun = true;
           beside = std::thread([&] {
             // Stands for work that still reports while it runs.
             for (int i = 0; i < 20 && driver.Report(0) == 0; ++i) std::this_thread::sleep_for(1ms);
           });
           if (cancel) driver.Cancel();
           return Status(0);
         },
         [&] {
           if (beside.joinable()) beside.join();
           settled = true;
           ++settles;
         }},
        {"second", [] { return Status(0); }},
        {"third", [] { return Status(0); }, [&] { ++settles; }},
    };
    bool settledAtEnd = false;
    ScanDriver::Events events = rec.Events();
    auto finished = events.finished;
    events.finished = [&](ScanOutcome o, Status s) {
      settledAtEnd = settled;
      finished(o, s);
    };
    ASSERT_EQ(driver.Start([] { return Status(0); }, steps, events), 0);
    driver.Wait();
    EXPECT_TRUE(begun);
    EXPECT_TRUE(settledAtEnd) << cancel;
    EXPECT_EQ(settles.load(), 2) << cancel;  // each settle once, also of a step never run
    EXPECT_FALSE(beside.joinable());
    EXPECT_EQ(rec.outcome, cancel ? ScanOutcome::kCancelled : ScanOutcome::kCompleted);
    EXPECT_EQ(rec.ran.size(), cancel ? 1u : 3u);
  }
}
