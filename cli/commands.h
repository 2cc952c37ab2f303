// The commands of the orbanix command-line program. Each takes the
// arguments after its name and returns the exit code: 0 success, 1 failure,
// 2 bad usage.
#pragma once

#include <string>
#include <vector>

namespace orbanix::cli {

using Args = std::vector<std::string>;

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct Command {
  const char* name;
  const char* summary;
  int (*run)(const Args& args);
};

const std::vector<Command>& Commands();

int RunList(const Args& args);
int RunSqlite(const Args& args);
int RunFiles(const Args& args);
int RunScan(const Args& args);
int RunRecover(const Args& args);

// Quotes a text as a JSON string (UTF-8 kept, control characters escaped).
std::string JsonString(const std::string& text);

}  // namespace orbanix::cli
