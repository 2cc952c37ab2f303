// Ctrl-C during a long write: a child process writes a large output file
// and ignores the first interrupt (as a write deep inside a copy does until
// its next check); the second interrupt must end it at once, leaving
// neither the file nor its temporary name behind.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/interrupt.h"
#include "platform/safe_file.h"

namespace orbanix {
namespace {

namespace fs = std::filesystem;

int gReport = -1;  // the child's end of the pipe to the test

// Waits for one byte from the child; false after `seconds`.
bool Await(int fd, char& byte, int seconds) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, seconds * 1000) == 1 && ::read(fd, &byte, 1) == 1;
}

std::vector<std::string> Entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  return names;
}

// The child: opens `count` output files, says 'o', then writes to them
// without end. The first interrupt only says 'i'.
[[noreturn]] void WriteForever(const fs::path& folder, int count) {
  InterruptGuard guard([](void*) { (void)!::write(gReport, "i", 1); }, nullptr);
  std::vector<OutputFile> files(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    if (files[static_cast<size_t>(i)].Open(folder / ("movie-" + std::to_string(i) + ".mov")) != 0) _exit(3);
  }
  const std::vector<char> chunk(1 << 20, 'm');
  (void)!::write(gReport, "o", 1);
  for (uint64_t round = 0;; ++round) {
    OutputFile& out = files[round % files.size()];
    // Kept at 16 MB each: the files are large, the disk is spared.
    if (round % (16 * files.size()) < files.size()) ::lseek(out.fd(), 0, SEEK_SET);
    if (out.Write(chunk.data(), chunk.size()) != 0) _exit(4);
  }
}

TEST(Interrupt, ASecondInterruptEndsAtOnceAndLeavesNoTemporaryFile) {
  const fs::path folder = fs::temp_directory_path() / ("orbanix-interrupt-" + std::to_string(::getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  // One file, and several at once (the recovery writes on more than one
  // thread).
  for (const int count : {1, 5}) {
    SCOPED_TRACE(count);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(pipeFds[0]);
      gReport = pipeFds[1];
      WriteForever(folder, count);
    }
    ::close(pipeFds[1]);
    char byte = 0;
    bool ok = Await(pipeFds[0], byte, 30) && byte == 'o';
    EXPECT_TRUE(ok) << "the child did not start writing";
    if (ok) {
      const std::vector<std::string> writing = Entries(folder);
      EXPECT_EQ(writing.size(), static_cast<size_t>(count));
      for (const std::string& name : writing) EXPECT_TRUE(IsTemporaryOutputName(name)) << name;
      ::kill(child, SIGINT);
      ok = Await(pipeFds[0], byte, 30) && byte == 'i';
      EXPECT_TRUE(ok) << "the first interrupt was not seen";
    }
    if (ok) ::kill(child, SIGINT);
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 1000 && !ended; ++i) {
      ended = ::waitpid(child, &status, WNOHANG) == child;
      if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) {
      ADD_FAILURE() << "the child did not end after the second interrupt";
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
    } else {
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 130);
    }
    ::close(pipeFds[0]);
    EXPECT_TRUE(Entries(folder).empty()) << Entries(folder).front();
    fs::remove_all(folder);
    fs::create_directories(folder);
  }
  fs::remove_all(folder);
}

// A file committed or discarded leaves the table: removing the temporary
// files later touches neither it nor a new file that took its old name.
TEST(Interrupt, FinishedFilesAreNotRemovedWithTheTemporaryOnes) {
  const fs::path folder = fs::temp_directory_path() / ("orbanix-interrupt-done-" + std::to_string(::getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  std::string committedTemporary;
  {
    OutputFile done;
    ASSERT_EQ(done.Open(folder / "done.txt"), 0);
    ASSERT_EQ(done.Write("whole", 5), 0);
    committedTemporary = done.temporaryPath().string();
    ASSERT_EQ(done.Commit(), 0);
  }
  {
    OutputFile dropped;
    ASSERT_EQ(dropped.Open(folder / "dropped.txt"), 0);
    dropped.Discard();
  }
  // A file of another kind that now has the committed one's old name.
  { std::ofstream(committedTemporary) << "not ours"; }
  OutputFile open;
  ASSERT_EQ(open.Open(folder / "open.txt"), 0);
  const fs::path openTemporary = open.temporaryPath();
  RemoveTemporaryOutputFiles();
  EXPECT_TRUE(fs::exists(folder / "done.txt"));
  EXPECT_TRUE(fs::exists(committedTemporary));
  EXPECT_FALSE(fs::exists(openTemporary));
  fs::remove_all(folder);
}

}  // namespace
}  // namespace orbanix
