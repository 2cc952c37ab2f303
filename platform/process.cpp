#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <system_error>

extern char** environ;

namespace orbanix {

namespace fs = std::filesystem;

Status ListProcesses(std::vector<ProcessInfo>& processes) {
  std::error_code ec;
  fs::directory_iterator it("/proc", ec);
  if (ec) return ec.value();
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    ProcessInfo info;
    info.pid = static_cast<pid_t>(std::stol(name));
    std::error_code linkError;
    fs::path exe = fs::read_symlink(it->path() / "exe", linkError);
    if (!linkError) {
      info.executableName = exe.filename().string();
      // A replaced executable reads "name (deleted)".
      const std::string suffix = " (deleted)";
      if (info.executableName.size() > suffix.size() &&
          info.executableName.ends_with(suffix)) {
        info.executableName.resize(info.executableName.size() - suffix.size());
      }
    } else {
      std::ifstream comm(it->path() / "comm");
      std::getline(comm, info.executableName);
    }
    processes.push_back(std::move(info));
  }
  return status::kOk;
}

Status KillProcessesByName(const std::string& name) {
  std::vector<ProcessInfo> processes;
  if (Status s = ListProcesses(processes); s != status::kOk) return s;
  const pid_t self = getpid();
  for (const ProcessInfo& p : processes) {
    if (p.pid != self && p.executableName == name) kill(p.pid, SIGTERM);
  }
  return status::kOk;
}

ChildProcess::~ChildProcess() {
  CloseInput();
  if (outFd_ >= 0) close(outFd_);
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int code = 0;
    Wait(code);
  }
}

Status ChildProcess::Start(const fs::path& program, const std::vector<std::string>& args,
                           bool mergeStderr) {
  if (pid_ > 0) return status::kBadData;
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return errno;
  if (pipe2(out, O_CLOEXEC) != 0) {
    const int e = errno;
    close(in[0]);
    close(in[1]);
    return e;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (mergeStderr) posix_spawn_file_actions_adddup2(&actions, out[1], 2);

  std::vector<std::string> argvStore;
  argvStore.push_back(program.string());
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    return rc;
  }
  pid_ = pid;
  inFd_ = in[1];
  outFd_ = out[0];
  return status::kOk;
}

Status ChildProcess::WriteInput(const std::string& data) {
  if (inFd_ < 0) return status::kBadData;
  size_t done = 0;
  while (done < data.size()) {
    // MSG_NOSIGNAL does not apply to pipes; a child that closed its input
    // gives EPIPE, so ignore SIGPIPE for the write.
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    const ssize_t n = write(inFd_, data.data() + done, data.size() - done);
    const int e = errno;
    sigaction(SIGPIPE, &previous, nullptr);
    if (n < 0) {
      if (e == EINTR) continue;
      return e;
    }
    done += static_cast<size_t>(n);
  }
  return status::kOk;
}

void ChildProcess::CloseInput() {
  if (inFd_ >= 0) close(inFd_);
  inFd_ = -1;
}

Status ChildProcess::ReadOutput(char* buffer, size_t capacity, size_t& got) {
  got = 0;
  if (outFd_ < 0) return status::kBadData;
  for (;;) {
    const ssize_t n = read(outFd_, buffer, capacity);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    got = static_cast<size_t>(n);
    return status::kOk;
  }
}

Status ChildProcess::Wait(int& exitCode) {
  if (pid_ <= 0) return status::kBadData;
  int wstatus = 0;
  pid_t r;
  do {
    r = waitpid(pid_, &wstatus, 0);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return errno;
  pid_ = -1;
  exitCode = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return status::kOk;
}

void ChildProcess::Kill() {
  if (pid_ > 0) kill(pid_, SIGKILL);
}

}  // namespace orbanix
