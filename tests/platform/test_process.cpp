#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/process.h"

using namespace orbanix;
namespace fs = std::filesystem;

TEST(ChildProcess, ArgumentsWithBlanksAndStdinRoundTrip) {
  ChildProcess child;
  ASSERT_EQ(child.Start("/bin/sh", {"-c", "read line; echo \"$0|$line\"", "arg with blanks"}), 0);
  ASSERT_EQ(child.WriteInput("pass word with blanks\n"), 0);
  child.CloseInput();
  std::string out;
  char buffer[64];
  size_t got = 0;
  while (child.ReadOutput(buffer, sizeof buffer, got) == 0 && got > 0) out.append(buffer, got);
  int code = -1;
  ASSERT_EQ(child.Wait(code), 0);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(out, "arg with blanks|pass word with blanks\n");
}

TEST(ChildProcess, MissingProgramAndExitCodes) {
  ChildProcess missing;
  EXPECT_NE(missing.Start("/nonexistent/program", {}), 0);
  ChildProcess failing;
  ASSERT_EQ(failing.Start("/bin/sh", {"-c", "exit 3"}), 0);
  int code = 0;
  ASSERT_EQ(failing.Wait(code), 0);
  EXPECT_EQ(code, 3);
}

TEST(Processes, KillByExactName) {
  const fs::path copy = fs::temp_directory_path() / ("orbanix-sleeper-" + std::to_string(getpid()));
  fs::copy_file("/bin/sleep", copy, fs::copy_options::overwrite_existing);
  ChildProcess child;
  ASSERT_EQ(child.Start(copy, {"30"}), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // A different case is a different name.
  std::string upper = copy.filename().string();
  upper[0] = 'O';
  ASSERT_EQ(KillProcessesByName(upper), 0);
  std::vector<ProcessInfo> list;
  ASSERT_EQ(ListProcesses(list), 0);
  bool found = false;
  for (const auto& p : list) found |= p.executableName == copy.filename().string();
  EXPECT_TRUE(found);
  ASSERT_EQ(KillProcessesByName(copy.filename().string()), 0);
  int code = 0;
  ASSERT_EQ(child.Wait(code), 0);
  EXPECT_EQ(code, 128 + 15);
  fs::remove(copy);
}
