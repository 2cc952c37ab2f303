#include <gtest/gtest.h>

#include <fstream>

#include "platform/folders.h"

using namespace orbanix;

namespace {
constexpr uint64_t kFiveGiB = 5368709120ULL;

fs::path TempFolder(const char* name) {
  fs::path p = fs::temp_directory_path() / ("orbanix-" + std::string(name) + "-" + std::to_string(getpid()));
  fs::remove_all(p);
  fs::create_directories(p);
  return p;
}
}  // namespace

TEST(WorkFolder, DataVolumeWithMoreThanFiveGiBIsUsed) {
  const fs::path data = "/home/u/.local/share/TamselOrbanix";
  EXPECT_EQ(ChooseWorkFolder(data, true, kFiveGiB + 1, {}), data / "TamselTempFile");
}

TEST(WorkFolder, ExactlyFiveGiBGoesToTheVolumeWithMostFreeSpace) {
  const std::vector<Volume> volumes = {
      {"/", true, 10}, {"/data", true, 900}, {"/broken", false, 99999}, {"/other", true, 900}};
  EXPECT_EQ(ChooseWorkFolder("/d", true, kFiveGiB, volumes), fs::path("/data/TamselTempFile"));
  // Unknown free space on the data volume counts as too little.
  EXPECT_EQ(ChooseWorkFolder("/d", false, 0, volumes), fs::path("/data/TamselTempFile"));
  EXPECT_TRUE(ChooseWorkFolder("/d", true, 1, {{"/x", false, 0}}).empty());
}

TEST(WorkFolder, AppDataFollowsXdg) {
  setenv("XDG_DATA_HOME", "/tmp/xdg-test", 1);
  EXPECT_EQ(AppDataFolder(), fs::path("/tmp/xdg-test"));
  EXPECT_EQ(DefaultBackupRoots().front(), fs::path("/tmp/xdg-test/MobileSync/Backup"));
  setenv("XDG_DATA_HOME", "relative/ignored", 1);
  EXPECT_NE(AppDataFolder(), fs::path("relative/ignored"));
  unsetenv("XDG_DATA_HOME");
}

TEST(Folders, EnumerationSkipsDotNamesAndSumsSizes) {
  const fs::path dir = TempFolder("enum");
  std::ofstream(dir / "a.bin") << std::string(100, 'x');
  std::ofstream(dir / ".hidden") << std::string(50, 'x');
  fs::create_directory(dir / "sub");
  std::vector<fs::path> entries = {"kept"};
  uint64_t total = 7;
  ASSERT_TRUE(EnumerateFolder(dir, entries, total));
  EXPECT_EQ(entries.size(), 3u);  // "kept", a.bin, sub
  EXPECT_EQ(total, 100u);
  EXPECT_FALSE(EnumerateFolder(dir / "missing", entries, total));
  EXPECT_EQ(entries.size(), 3u);
  fs::remove_all(dir);
}

TEST(Folders, CreateFolderTreeAndFreeBytes) {
  const fs::path dir = TempFolder("tree");
  EXPECT_EQ(CreateFolderTree(dir / "a" / "b" / "c"), 0);
  EXPECT_TRUE(fs::is_directory(dir / "a" / "b" / "c"));
  std::ofstream(dir / "file") << "x";
  EXPECT_NE(CreateFolderTree(dir / "file" / "below"), 0);
  uint64_t free = 0;
  EXPECT_EQ(FreeBytes(dir, free), 0);
  EXPECT_GT(free, 0u);
  EXPECT_EQ(FreeBytes(dir / "missing", free), ENOENT);
  fs::remove_all(dir);
}

// The data files are found beside the executable in a build tree and under
// share/orbanix in an installed tree; beside wins when both exist.
TEST(Folders, ProgramDataFolderOfBuildAndInstalledTrees) {
  const fs::path dir = TempFolder("data");
  const fs::path build = dir / "build" / "bin";
  fs::create_directories(build / "template");
  EXPECT_EQ(ProgramDataFolderFor(build), build);

  const fs::path prefix = dir / "usr";
  fs::create_directories(prefix / "bin");
  fs::create_directories(prefix / "share" / "orbanix" / "template");
  EXPECT_EQ(ProgramDataFolderFor(prefix / "bin"), prefix / "share" / "orbanix");

  // Neither: the program folder, where the error will name the file.
  fs::create_directories(dir / "bare");
  EXPECT_EQ(ProgramDataFolderFor(dir / "bare"), dir / "bare");

  // A template folder beside the executable is used before the share tree.
  fs::create_directories(prefix / "bin" / "template");
  EXPECT_EQ(ProgramDataFolderFor(prefix / "bin"), prefix / "bin");
  fs::remove_all(dir);
}
