#include "platform/folders.h"

#include <mntent.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <system_error>

namespace orbanix {

namespace {

fs::path HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return fs::path(home);
  return fs::path("/");
}

constexpr uint64_t kWorkFolderMinimum = 5368709120ULL;  // 5 GiB

}  // namespace

fs::path AppDataFolder() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg && fs::path(xdg).is_absolute()) return fs::path(xdg);
  return HomeFolder() / ".local" / "share";
}

fs::path DataFolder() { return AppDataFolder() / "TamselOrbanix"; }

fs::path ProgramFolder() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return fs::current_path(ec);
  return exe.parent_path();
}

fs::path ProgramDataFolderFor(const fs::path& programFolder) {
  std::error_code ec;
  if (fs::is_directory(programFolder / "template", ec)) return programFolder;
  const fs::path installed = (programFolder / ".." / "share" / "orbanix").lexically_normal();
  if (fs::is_directory(installed, ec)) return installed;
  return programFolder;
}

fs::path ProgramDataFolder() { return ProgramDataFolderFor(ProgramFolder()); }

std::vector<fs::path> DefaultBackupRoots() {
  std::vector<fs::path> roots;
  roots.push_back(AppDataFolder() / "MobileSync" / "Backup");
  const char* user = std::getenv("USER");
  const fs::path wine = HomeFolder() / ".wine" / "drive_c" / "users";
  std::error_code ec;
  if (user && *user && fs::is_directory(wine / user, ec)) {
    roots.push_back(wine / user / "AppData" / "Roaming" / "Apple Computer" / "MobileSync" / "Backup");
  }
  return roots;
}

Status FreeBytes(const fs::path& path, uint64_t& freeBytes) {
  struct statvfs info {};
  if (statvfs(path.c_str(), &info) != 0) return errno;
  freeBytes = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
  return status::kOk;
}

Status CreateFolderTree(const fs::path& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  std::error_code probe;
  if (fs::is_directory(path, probe)) return status::kOk;
  if (ec) return ec.value();
  return probe ? probe.value() : ENOTDIR;
}

std::vector<Volume> MountedVolumes() {
  // Pseudo and memory file systems never hold a work folder.
  static const std::set<std::string> kVirtual = {
      "proc", "sysfs", "devtmpfs", "devpts", "tmpfs", "cgroup", "cgroup2", "securityfs",
      "pstore", "debugfs", "tracefs", "configfs", "fusectl", "mqueue", "hugetlbfs",
      "bpf", "autofs", "binfmt_misc", "rpc_pipefs", "nsfs", "ramfs", "squashfs", "overlay",
      "efivarfs", "fuse.gvfsd-fuse", "fuse.portal"};
  std::vector<Volume> volumes;
  FILE* table = setmntent("/proc/mounts", "r");
  if (!table) return volumes;
  std::set<std::string> seen;
  while (mntent* entry = getmntent(table)) {
    if (kVirtual.count(entry->mnt_type) || !seen.insert(entry->mnt_dir).second) continue;
    Volume v;
    v.root = entry->mnt_dir;
    v.freeKnown = FreeBytes(v.root, v.freeBytes) == status::kOk;
    volumes.push_back(v);
  }
  endmntent(table);
  return volumes;
}

fs::path ChooseWorkFolder(const fs::path& dataFolder, bool dataFreeKnown, uint64_t dataFree,
                          const std::vector<Volume>& volumes) {
  if (dataFreeKnown && dataFree > kWorkFolderMinimum) return dataFolder / "TamselTempFile";
  const Volume* best = nullptr;
  for (const Volume& v : volumes) {
    if (!v.freeKnown) continue;
    if (!best || v.freeBytes > best->freeBytes) best = &v;
  }
  if (!best) return {};
  return best->root / "TamselTempFile";
}

fs::path WorkFolder() {
  static std::once_flag once;
  static fs::path chosen;
  std::call_once(once, [] {
    uint64_t dataFree = 0;
    const fs::path appData = AppDataFolder();
    CreateFolderTree(appData);
    const bool known = FreeBytes(appData, dataFree) == status::kOk;
    std::vector<Volume> volumes;
    if (!(known && dataFree > kWorkFolderMinimum)) volumes = MountedVolumes();
    chosen = ChooseWorkFolder(DataFolder(), known, dataFree, volumes);
    if (!chosen.empty()) CreateFolderTree(chosen);
  });
  return chosen;
}

bool EnumerateFolder(const fs::path& folder, std::vector<fs::path>& entries, uint64_t& totalSize) {
  std::error_code ec;
  fs::directory_iterator it(folder, fs::directory_options::none, ec);
  if (ec) return false;
  std::vector<fs::path> found;
  uint64_t total = 0;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    if (name.empty() || name[0] == '.') continue;
    std::error_code sizeError;
    if (it->is_regular_file(sizeError)) {
      const auto size = it->file_size(sizeError);
      if (!sizeError) total += size;
    }
    found.push_back(it->path());
  }
  entries.insert(entries.end(), found.begin(), found.end());
  totalSize = total;
  return true;
}

}  // namespace orbanix
