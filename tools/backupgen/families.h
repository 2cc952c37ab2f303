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
// The same families with the stores as current phones (iOS 16/17) lay them
// out: the address book's newer search table, sms.db with chats, groups,
// reactions, edits and Recently Deleted, the call store in Core Data's
// current column order, ChatStorage with group members and push names.
const std::vector<Family>& CurrentFamilies();

// Writes the demo backups under `root`: one of each era, every family.
// Returns the folders written.
std::vector<fs::path> WriteDemo(const fs::path& root, std::string* error = nullptr);

}  // namespace orbanix::gen
