// orbanix: the command-line program. Each command lives in its own unit.
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>

#include "cli/commands.h"
#include "orbanix_version.h"

namespace orbanix::cli {

const std::vector<Command>& Commands() {
  static const std::vector<Command> kCommands = {
      {"list", "list the iPhone backups on this computer", RunList},
      {"files", "list the stored files of one backup (its file index)", RunFiles},
      {"scan", "scan one backup or a connected iPhone and count what it holds, live and deleted", RunScan},
      {"recover", "scan one backup or a connected iPhone and write what it holds into a folder", RunRecover},
      {"sqlite", "print the live and recovered rows of any SQLite file", RunSqlite},
  };
  return kCommands;
}

}  // namespace orbanix::cli

namespace {

int Usage(std::ostream& out, int code) {
  out << "usage: orbanix COMMAND [ARGS...]\n\ncommands:\n";
  for (const auto& c : orbanix::cli::Commands()) {
    out << "  " << c.name << std::string(10 - std::min<size_t>(9, std::strlen(c.name)), ' ') << c.summary << '\n';
  }
  out << "\n'orbanix COMMAND --help' describes a command; 'orbanix --version' prints the version.\n";
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage(std::cerr, orbanix::cli::kExitUsage);
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") return Usage(std::cout, orbanix::cli::kExitOk);
  if (name == "--version" || name == "-V") {
    std::cout << "orbanix " << orbanix::kVersion << '\n';
    return orbanix::cli::kExitOk;
  }
  orbanix::cli::Args args(argv + 2, argv + argc);
  for (const auto& c : orbanix::cli::Commands()) {
    if (name != c.name) continue;
    // The commands use the error-code forms of the file-system calls; a
    // failure that still arrives as an exception (a folder that cannot be
    // reached) ends the command with its reason, never with an abort.
    try {
      return c.run(args);
    } catch (const std::filesystem::filesystem_error& e) {
      std::cerr << "orbanix " << c.name << ": " << e.what() << "\n";
    } catch (const std::exception& e) {
      std::cerr << "orbanix " << c.name << ": " << e.what() << "\n";
    }
    return orbanix::cli::kExitFailure;
  }
  std::cerr << "orbanix: unknown command '" << name << "'\n";
  return Usage(std::cerr, orbanix::cli::kExitUsage);
}
