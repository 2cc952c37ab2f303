// The decryption step: the chunk rules of the companion's output, and the
// run of a companion (stand-in scripts here; the real one in
// test_round_trip.cpp).
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "decrypt/decryption_step.h"
#include "decrypt/password_input.h"

using namespace orbanix;
using namespace orbanix::decrypt;
namespace fs = std::filesystem;

namespace {

struct Recorder {
  std::vector<int32_t> values;
  int32_t answer = 0;
  StepProgress Progress(int32_t progress, int32_t step) {
    StepProgress p;
    p.progress = progress;
    p.step = step;
    p.callback = [this](int32_t v) {
      values.push_back(v);
      return answer;
    };
    return p;
  }
};

class TempDir {
 public:
  TempDir() {
    static int n = 0;
    path_ = fs::temp_directory_path() / ("orbanix step " + std::to_string(getpid()) + "-" + std::to_string(n++));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

fs::path Script(const fs::path& folder, const std::string& body) {
  const fs::path p = folder / "companion script";
  std::ofstream(p) << "#!/bin/sh\n" << body << "\n";
  fs::permissions(p, fs::perms::owner_all);
  return p;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(CompanionOutput, ChunkRules) {
  {
    // The worked example: 250 of 1000 files, step 10, progress 1 -> 3.
    Recorder r;
    StepProgress p = r.Progress(1, 10);
    CompanionOutput out(p, 1000);
    EXPECT_EQ(out.Chunk("Count: 250\n"), 0);
    EXPECT_EQ(r.values, std::vector<int32_t>({3}));
  }
  {
    // "Wrong password" in the same chunk as a count: -110, nothing reported.
    Recorder r;
    StepProgress p = r.Progress(0, 10);
    CompanionOutput out(p, 1000);
    EXPECT_EQ(out.Chunk("Count: 500\nWrong password\n"), status::kWrongPassword);
    EXPECT_TRUE(r.values.empty());
    EXPECT_EQ(p.progress, 0);
  }
  {
    // The first count while progress is 0 sets it to 1 and reports 1 first;
    // only the first count of a chunk is read; a chunk without a count
    // reports progress alone; a split line is not joined.
    Recorder r;
    StepProgress p = r.Progress(0, 10);
    CompanionOutput out(p, 100);
    EXPECT_EQ(out.Chunk("Count:   50\nCount: 90\n"), 0);
    EXPECT_EQ(p.progress, 1);
    EXPECT_EQ(out.Chunk("Missing: abc\n"), 0);
    EXPECT_EQ(out.Chunk("Cou"), 0);
    EXPECT_EQ(out.Chunk("nt: 100\n"), 0);
    EXPECT_EQ(out.Chunk("Count:\n"), 0);
    EXPECT_EQ(r.values, std::vector<int32_t>({1, 6, 1, 1, 1, 1}));
  }
  {
    // A non-zero answer is the result, also for the first report of 1.
    Recorder r;
    r.answer = 2;
    StepProgress p = r.Progress(0, 10);
    CompanionOutput out(p, 100);
    EXPECT_EQ(out.Chunk("Count: 5\n"), 2);
    EXPECT_EQ(r.values, std::vector<int32_t>({1}));
  }
  {
    // More files than the total never reports past the step's share; a
    // total of 0 reports progress; no callback registered is fine.
    Recorder r;
    StepProgress p = r.Progress(20, 10);
    CompanionOutput over(p, 100);
    EXPECT_EQ(over.Chunk("Count: 99999999999999999999999\n"), 0);
    CompanionOutput none(p, 0);
    EXPECT_EQ(none.Chunk("Count: 7\n"), 0);
    EXPECT_EQ(r.values, std::vector<int32_t>({30, 20}));
    StepProgress silent;
    CompanionOutput quiet(silent, 10);
    EXPECT_EQ(quiet.Chunk("Count: 3\n"), 0);
    EXPECT_EQ(silent.progress, 1);
  }
  EXPECT_EQ(FirstCount("x Count: \t42 Count: 7"), 42u);
  EXPECT_EQ(FirstCount("Count: 99999999999999999999999"), UINT64_MAX);
  EXPECT_EQ(FirstCount("no count"), 0u);
}

TEST(DecryptionStep, ArgumentsSeparatePasswordOnStdinWithBlanks) {
  TempDir dir;
  const fs::path record = dir.path() / "seen args";
  const fs::path script = Script(dir.path(), "printf '%s\\n' \"$#\" \"$1\" \"$2\" > \"" + record.string() +
                                                 "\"\nIFS= read -r line\nprintf '%s' \"$line\" >> \"" +
                                                 record.string() + "\"\necho 'Count: 2'\n");
  DecryptionStepRequest request;
  request.password = "  pass word with  blanks ";
  request.fileCount = 2;
  request.backupFolder = dir.path() / "My Backup" / "0000 1111";
  request.outputFolder = dir.path() / "out put";
  request.companion = script;
  Recorder r;
  StepProgress p = r.Progress(0, 10);
  fs::path output;
  DecryptionStepReport report;
  ASSERT_EQ(RunDecryptionStep(request, p, output, &report), 0);
  EXPECT_EQ(output, request.outputFolder);
  EXPECT_TRUE(fs::is_directory(output));
  EXPECT_EQ(ReadAll(record), "2\n" + request.backupFolder.string() + "\n" + request.outputFolder.string() + "\n" +
                                 request.password);
  EXPECT_EQ(report.exitCode, 0);
  EXPECT_EQ(report.filesWritten, 2u);
  // 1 for the first count, 10 * 2 / 2 + 1, then step + progress at the end.
  EXPECT_EQ(r.values, std::vector<int32_t>({1, 11, 11}));

  // A password with a line break cannot travel as one line.
  request.password = "two\nlines";
  EXPECT_EQ(RunDecryptionStep(request, p, output), status::kBadData);
}

TEST(DecryptionStep, OutputLeftInThePipeAfterTheCompanionEndsIsRead) {
  TempDir dir;
  // The companion writes everything and ends while the step is still busy
  // with its first report.
  const fs::path script = Script(dir.path(), "echo 'Count: 1'\nsleep 0.1\necho 'Count: 3'\necho 'Count: 4'\nexit 0");
  DecryptionStepRequest request;
  request.fileCount = 4;
  request.backupFolder = dir.path();
  request.outputFolder = dir.path() / "out";
  request.companion = script;
  StepProgress p;
  p.step = 40;
  std::vector<int32_t> seen;
  p.callback = [&](int32_t v) {
    if (seen.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(400));
    seen.push_back(v);
    return 0;
  };
  fs::path output;
  DecryptionStepReport report;
  ASSERT_EQ(RunDecryptionStep(request, p, output, &report), 0);
  ASSERT_GE(seen.size(), 3u);
  // The last chunk read carried "Count: 3" first (both lines arrive
  // together) or "Count: 4"; either way the counts after the end were read.
  EXPECT_GE(seen[seen.size() - 2], 31);
  EXPECT_EQ(seen.back(), 41);
  EXPECT_EQ(report.filesWritten, 4u);
}

TEST(DecryptionStep, ExitCodesErrorsCancelAndMissingCompanion) {
  TempDir dir;
  DecryptionStepRequest request;
  request.fileCount = 10;
  request.backupFolder = dir.path();
  request.outputFolder = dir.path() / "out";
  fs::path output;
  {
    request.companion = Script(dir.path(), "echo 'Count: 3'\necho 'Wrong password'\nexit 1");
    Recorder r;
    StepProgress p = r.Progress(1, 10);
    // The two lines may come as one chunk or two; -110 either way.
    EXPECT_EQ(RunDecryptionStep(request, p, output), status::kWrongPassword);
  }
  {
    request.companion = Script(dir.path(), "echo 'Count: 3'\necho 'Error: 28: No space left on device'\nexit 2");
    StepProgress p;
    DecryptionStepReport report;
    EXPECT_EQ(RunDecryptionStep(request, p, output, &report), 28);
    EXPECT_EQ(report.error, "28: No space left on device");
    EXPECT_EQ(report.exitCode, 2);
  }
  {
    // Ended abnormally without saying why: not a complete copy.
    request.companion = Script(dir.path(), "kill -9 $$");
    StepProgress p;
    EXPECT_EQ(RunDecryptionStep(request, p, output), status::kBadData);
  }
  {
    // Single files failed: the copy is usable, the report names them.
    request.companion = Script(dir.path(), "echo 'Failed: abcd: 87: wrong padding'\necho 'Missing: ef01'\nexit 3");
    StepProgress p;
    DecryptionStepReport report;
    EXPECT_EQ(RunDecryptionStep(request, p, output, &report), 0);
    EXPECT_EQ(report.failedFiles, std::vector<std::string>({"abcd: 87: wrong padding"}));
    EXPECT_EQ(report.missingFiles, std::vector<std::string>({"ef01"}));
  }
  {
    // A cancel answers at once and stops the companion.
    request.companion = Script(dir.path(), "echo 'Count: 1'\nexec sleep 30");
    Recorder r;
    r.answer = 2;
    StepProgress p = r.Progress(5, 10);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunDecryptionStep(request, p, output), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(r.values.back(), 15);  // step + progress once more at the end
  }
  {
    request.companion = dir.path() / "no such companion";
    StepProgress p;
    EXPECT_EQ(RunDecryptionStep(request, p, output), status::kBadData);
  }
}

TEST(PasswordFile, FirstLineBlanksKeptBomAndBreakRemoved) {
  TempDir dir;
  const fs::path f = dir.path() / "password.txt";
  std::string password;
  std::ofstream(f, std::ios::binary) << "\xEF\xBB\xBF  my pass \r\nsecond line\n";
  ASSERT_EQ(ReadPasswordFile(f, password), 0);
  EXPECT_EQ(password, "  my pass ");
  std::ofstream(f, std::ios::binary | std::ios::trunc) << "";
  ASSERT_EQ(ReadPasswordFile(f, password), 0);
  EXPECT_EQ(password, "");
  EXPECT_EQ(ReadPasswordFile(dir.path() / "missing", password), ENOENT);
  EXPECT_EQ(ReadPasswordFile(dir.path(), password), status::kBadData);
  std::ofstream(f, std::ios::binary | std::ios::trunc) << std::string(70000, 'x');
  EXPECT_EQ(ReadPasswordFile(f, password), status::kBadData);
}
