// The content families of a synthetic backup. Each family is one unit
// (family_*.cpp) that adds its stored files to a BackupWriter; the demo
// backup holds every family listed by Families().
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/backupgen/backup_writer.h"

namespace orbanix::gen {

struct FamilyOptions {
  uint32_t seed = 1;
  int scale = 1;  // multiplies the row and file counts
};

using FamilyFn = void (*)(BackupWriter&, const FamilyOptions&);

struct Family {
  const char* name;
  FamilyFn add;
};

// Every family, in the order the demo adds them.
const std::vector<Family>& Families();

// Writes the demo backups under `root`: one of each era, every family.
// Returns the folders written.
std::vector<fs::path> WriteDemo(const fs::path& root, std::string* error = nullptr);

}  // namespace orbanix::gen
