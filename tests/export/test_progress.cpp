// RecoveryProgress: counting completions, failures with their texts, and the
// cancel question.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "export/progress.h"

namespace orbanix {
namespace {

TEST(RecoveryProgress, CountsCompletionsAndFailuresWithTheirTexts) {
  std::vector<std::string> texts;
  RecoveryProgress::Events events;
  events.completed = [&](const fs::path& path, Status st, const std::string& text) {
    texts.push_back(path.string() + ":" + std::to_string(st) + ":" + text);
  };
  RecoveryProgress progress(events);
  progress.Start(3);
  EXPECT_EQ(progress.Report(50, 0, "/o/a"), 0);
  EXPECT_EQ(progress.Report(100, 0, "/o/a"), 0);
  EXPECT_EQ(progress.Report(100, ENOSPC, "/o/b"), 0);
  EXPECT_EQ(progress.Report(100, status::kBadData, "/o/c"), 0);
  const auto counts = progress.counts();
  EXPECT_EQ(counts.done, 3);
  EXPECT_EQ(counts.failed, 2);
  EXPECT_EQ(counts.written(), 1);
  EXPECT_EQ(counts.total, 3);
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], "/o/a:0:Success");
  EXPECT_EQ(texts[1], "/o/b:28:No space left on device");
  EXPECT_EQ(texts[2], "/o/c:87:The source file is missing or cannot be read");
  EXPECT_EQ(progress.current(), "/o/c");
}

TEST(RecoveryProgress, AfterCancelEveryReportAnswers2AndNothingCounts) {
  RecoveryProgress progress;
  progress.Start(2);
  progress.Cancel();
  EXPECT_EQ(progress.Report(10, 0, "/o/a"), status::kCancelled);
  EXPECT_EQ(progress.Report(100, 0, "/o/a"), status::kCancelled);
  EXPECT_EQ(progress.counts().done, 0);
  EXPECT_TRUE(progress.Cancelled());
}

TEST(RecoveryProgress, AnOpenQuestionHoldsReportsUntilAnswered) {
  for (bool stop : {false, true}) {
    RecoveryProgress progress;
    progress.Start(1);
    progress.OpenCancelQuestion();
    std::atomic<int> answer{-1};
    std::thread worker([&] { answer = progress.Report(100, 0, "/o/a"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(answer.load(), -1) << "a report ran while the question was open";
    EXPECT_EQ(progress.counts().done, 0);
    progress.AnswerCancelQuestion(stop);
    worker.join();
    EXPECT_EQ(answer.load(), stop ? 2 : 0);
    EXPECT_EQ(progress.counts().done, stop ? 0 : 1);
  }
}

}  // namespace
}  // namespace orbanix
