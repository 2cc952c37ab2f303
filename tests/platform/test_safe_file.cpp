#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <future>

#include "platform/safe_file.h"

namespace orbanix {
namespace {

namespace fs = std::filesystem;

class SafeFile : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("orbanix-safe-" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "backup" / "ab");
    fs::create_directories(root_ / "outside");
    Write(root_ / "backup" / "ab" / "file", "inside");
    Write(root_ / "outside" / "secret", "secret");
  }
  void TearDown() override { fs::remove_all(root_); }
  static void Write(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Opens with a time limit: a FIFO must never make the open wait.
  int Open(const fs::path& p, std::string& reason, int& error) {
    auto opened = std::async(std::launch::async, [&] { return OpenStoredFile(p, root_ / "backup", &reason, &error); });
    if (opened.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "the open waits";
      std::ofstream release(p);  // a writer lets a blocked open return
      return opened.get();
    }
    return opened.get();
  }
  fs::path root_;
};

TEST_F(SafeFile, OnlyRegularFilesInsideTheFolderAreOpened) {
  std::string reason;
  int error = 0;
  uint64_t size = 0;
  const int fd = OpenStoredFile(root_ / "backup" / "ab" / "file", root_ / "backup", &reason, &error, &size);
  ASSERT_GE(fd, 0) << reason;
  EXPECT_EQ(size, 6u);
  char buffer[8] = {};
  EXPECT_EQ(::read(fd, buffer, sizeof buffer), 6);  // blocking reads again after the open
  ::close(fd);

  struct Case {
    fs::path path;
    int error;
    const char* reason;
  };
  const fs::path b = root_ / "backup";
  fs::create_symlink(root_ / "outside" / "secret", b / "link");
  fs::create_symlink(b / "ab" / "file", b / "inner-link");  // a link even to a file inside is refused
  fs::create_symlink(root_ / "outside", b / "cd");          // a linked subfolder leads outside
  fs::create_symlink(b / "self", b / "self");
  ASSERT_EQ(::mkfifo((b / "fifo").c_str(), 0600), 0);
  fs::create_directories(b / "folder");
  for (const Case& c : {Case{b / "link", ELOOP, "is a symbolic link"},
                        Case{b / "inner-link", ELOOP, "is a symbolic link"},
                        Case{b / "self", ELOOP, "is a symbolic link"},
                        Case{b / "cd" / "secret", EXDEV, "lies outside the backup folder"},
                        Case{b / "fifo", EINVAL, "is a FIFO, not a file"},
                        Case{b / "folder", EISDIR, "is a folder, not a file"},
                        Case{b / "missing", ENOENT, nullptr}}) {
    SCOPED_TRACE(c.path.string());
    reason.clear();
    EXPECT_EQ(Open(c.path, reason, error), -1);
    EXPECT_EQ(error, c.error);
    if (c.reason) {
      EXPECT_EQ(reason, c.reason);
    }
  }
  // Without a root, only the file itself is checked.
  const int outside = OpenStoredFile(b / "cd" / "secret", {}, &reason);
  EXPECT_GE(outside, 0);
  if (outside >= 0) ::close(outside);
  EXPECT_TRUE(RealPathInside(b / "ab" / "file", b));
  EXPECT_FALSE(RealPathInside(b / "cd" / "secret", b));
  EXPECT_FALSE(RealPathInside(b, b));
}

TEST_F(SafeFile, OutputTakesItsNameOnlyWhenCommitted) {
  const fs::path final = root_ / "out.txt";
  Write(final, "old");
  {
    OutputFile out;
    ASSERT_EQ(out.Open(final), 0);
    EXPECT_TRUE(IsTemporaryOutputName(out.temporaryPath().filename().string()));
    EXPECT_EQ(out.Write("new", 3), 0);
    EXPECT_EQ(Read(final), "old");  // the final name still holds the old file while writing
    ASSERT_EQ(out.Commit(), 0);
  }
  EXPECT_EQ(Read(final), "new");
  EXPECT_EQ((fs::status(final).permissions() & fs::perms::owner_read), fs::perms::owner_read);
  EXPECT_EQ((fs::status(final).permissions() & fs::perms::others_read), fs::perms::others_read);

  // Abandoned (a failure or a cancel): nothing stays behind.
  {
    OutputFile out;
    ASSERT_EQ(out.Open(root_ / "abandoned.txt"), 0);
    ASSERT_NE(std::fputs("partial", out.stream()), EOF);
  }
  EXPECT_FALSE(fs::exists(root_ / "abandoned.txt"));
  for (const auto& e : fs::directory_iterator(root_)) {
    EXPECT_FALSE(IsTemporaryOutputName(e.path().filename().string())) << e.path();
  }
  // A final name taken while writing fails the commit and leaves nothing.
  OutputFile blocked;
  ASSERT_EQ(blocked.Open(root_ / "taken"), 0);
  fs::create_directories(root_ / "taken" / "inner");
  EXPECT_NE(blocked.Commit(), 0);
  for (const auto& e : fs::directory_iterator(root_)) {
    EXPECT_FALSE(IsTemporaryOutputName(e.path().filename().string())) << e.path();
  }
  EXPECT_NE(OutputFile().Open(root_ / "no-such-folder" / "x"), 0);
  EXPECT_EQ(OutputFile().Open(root_ / "taken"), EISDIR);
  EXPECT_EQ(OutputFile().Open("/dev/null"), EEXIST);  // a device is never replaced
  EXPECT_FALSE(IsTemporaryOutputName("photo.part"));
}

}  // namespace
}  // namespace orbanix
