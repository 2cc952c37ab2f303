// The program's folders and the few file-system facilities the core needs.
//
//   application-data folder  $XDG_DATA_HOME, default ~/.local/share
//   data folder              application data + "/TamselOrbanix/": preview
//                            copies (tmp.jpg, tmp.wav, tmp.avi)
//   work folder              chosen by free space on first use, always ends
//                            in "TamselTempFile/": the decrypted copy of an
//                            encrypted backup
//   program folder           the folder of the running executable, with
//                            orbanix-decrypt beside it
//   program data folder      config.ini, Languages/, template/, manual/: the
//                            program folder itself in a build tree, or
//                            PREFIX/share/orbanix when the executable was
//                            installed into PREFIX/bin
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/status.h"

namespace orbanix {

namespace fs = std::filesystem;

fs::path AppDataFolder();
fs::path DataFolder();     // AppDataFolder() / "TamselOrbanix"
fs::path ProgramFolder();  // folder of /proc/self/exe

// The folder of the program's data files for an executable in
// `programFolder`: that folder when it holds "template" (the build tree keeps
// the data beside the executables), else "../share/orbanix" from it when that
// exists (an installed tree), else `programFolder`, so that a missing file is
// reported where it was looked for first.
fs::path ProgramDataFolderFor(const fs::path& programFolder);
fs::path ProgramDataFolder();  // ProgramDataFolderFor(ProgramFolder())

// Folders searched for backups by default, those that exist or not:
// $XDG_DATA_HOME/MobileSync/Backup and the iTunes folder of a Wine prefix
// (~/.wine/drive_c/users/$USER/AppData/Roaming/Apple Computer/MobileSync/Backup)
// when that prefix exists.
std::vector<fs::path> DefaultBackupRoots();

// Free bytes available on the volume that holds `path`; errno on failure.
Status FreeBytes(const fs::path& path, uint64_t& freeBytes);

// Creates the folder and every missing parent. 0 when it exists afterwards.
Status CreateFolderTree(const fs::path& path);

// One mounted file system that may hold the work folder.
struct Volume {
  fs::path root;
  bool freeKnown = false;
  uint64_t freeBytes = 0;
};

// The mounted real file systems (not proc, sysfs, tmpfs and the like), in
// mount-table order, with their free space.
std::vector<Volume> MountedVolumes();

// The work-folder rule: the data folder's volume when it has more than
// 5 GiB free (strictly more than 5,368,709,120 bytes), otherwise the volume
// with the most free space (the first one on a tie; volumes whose free space
// is unknown are skipped). Empty when nothing qualifies. Pure, for tests.
fs::path ChooseWorkFolder(const fs::path& dataFolder, bool dataFreeKnown, uint64_t dataFree,
                          const std::vector<Volume>& volumes);

// The work folder: chosen by ChooseWorkFolder on the first call and created.
fs::path WorkFolder();

// Lists a folder's entries except names that begin with "." and sums their
// sizes (files by length; folders count 0). False when the folder cannot be
// listed; the list is left as it was then.
bool EnumerateFolder(const fs::path& folder, std::vector<fs::path>& entries, uint64_t& totalSize);

}  // namespace orbanix
