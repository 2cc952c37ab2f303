// Processes: the process list, kill-by-name, and a child process whose
// standard input, output and error are pipes (the decryption step runs its
// companion program this way and reads its output as it comes).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/status.h"

namespace orbanix {

struct ProcessInfo {
  pid_t pid = 0;
  std::string executableName;  // file name of the executable, no folder
};

// Every process this user can see. errno when the process list cannot be read.
Status ListProcesses(std::vector<ProcessInfo>& processes);

// Terminates every process whose executable file name equals `name` exactly
// (case counts). Returns 0, or errno when the process list cannot be read.
Status KillProcessesByName(const std::string& name);

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();  // closes the pipes and kills a child still running

  // Starts `program` with each argument passed as its own argv entry (no
  // shell, no quoting). Standard error is merged into standard output when
  // `mergeStderr` is set. Returns 0 or errno.
  Status Start(const std::filesystem::path& program, const std::vector<std::string>& args,
               bool mergeStderr = true);

  // Writes all of `data` to the child's standard input.
  Status WriteInput(const std::string& data);
  void CloseInput();

  // Reads what the child wrote, up to `capacity` bytes; blocks until some
  // output arrives. `got` is 0 at the end of the output.
  Status ReadOutput(char* buffer, size_t capacity, size_t& got);

  // Waits for the child to end; its exit code, or 128 + signal.
  Status Wait(int& exitCode);
  void Kill();
  bool Running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  int inFd_ = -1;
  int outFd_ = -1;
};

}  // namespace orbanix
