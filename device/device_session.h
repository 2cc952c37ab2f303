// The device services: one session with a connected iPhone over a
// DeviceBinding, file access through the phone's file service (AFC), the
// bulk download of its user databases through the file relay, the listing
// of installed applications and access to an application's container.
//
// Failures are raised as DeviceError (device_errors.h); CopyDeviceFile and
// the archive operations answer with a status instead. Every file operation
// first requires a connected phone and opens the file service when none is
// open; the first opening tries the root file service
// ("com.apple.afc2", the whole file system) before the ordinary one
// ("com.apple.afc", the media folder) and remembers which one started.
//
// Used by one thread at a time (the scan's).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "device/device_binding.h"
#include "device/device_errors.h"
#include "platform/status.h"
#include "sources/media_scan.h"

namespace orbanix::device {

inline constexpr const char* kRootFileService = "com.apple.afc2";
inline constexpr const char* kFileService = "com.apple.afc";
inline constexpr const char* kFileRelayService = "com.apple.mobile.file_relay";
inline constexpr const char* kInstallationService = "com.apple.mobile.installation_proxy";
inline constexpr const char* kContainerService = "com.apple.mobile.house_arrest";

// Bytes of relay stream between two progress reports: a report follows a
// block once strictly more than this many bytes arrived since the last.
inline constexpr uint64_t kRelayReportBytes = 0x2000000;  // 32 MiB
inline constexpr size_t kDeviceBlock = 65536;

// Kinds of a file, from "st_ifmt".
enum class DeviceFileKind : int {
  kDirectory = 0,
  kLink = 1,
  kRegular = 2,
  kBlock = 3,
  kCharacter = 4,
  kFifo = 5,
  kFormat = 6,
  kSocket = 7,
  kUnknown = 8,
};

struct DeviceFileInfo {
  uint64_t size = 0;   // "st_size"
  int links = 0;       // "st_nlink"
  int blocks = 0;      // "st_blocks"
  DeviceFileKind kind = DeviceFileKind::kUnknown;
};

// Where the session's reports fall on the scan's 0-100 scale.
struct DeviceProgress {
  ProgressCallback callback = nullptr;
  void* user = nullptr;
  int base = 0;
  int budget = 0;
  int Report(int value) const { return callback ? callback(user, value) : 0; }
};

class DeviceSession {
 public:
  explicit DeviceSession(DeviceBinding& binding);
  ~DeviceSession();
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  DeviceBinding& binding() { return binding_; }
  bool Connected() { return binding_.Connected(); }
  bool rootFileSystem() const { return rootFileSystem_; }
  bool afcOpen() const { return afc_ != nullptr; }
  bool container() const { return container_; }
  void SetProgress(const DeviceProgress& progress) { progress_ = progress; }
  const DeviceProgress& progress() const { return progress_; }

  // Connect, validate the pairing (pairing when it is not valid), start
  // the session.
  void StartSession();
  // Opens a file service afresh (closing an open one): the root service
  // when wanted and available, else the ordinary one.
  void OpenFileService(bool rootWanted);
  void CloseFileService();
  // Makes sure the file service of the phone's file system is open (not an
  // application's container).
  void UseFileSystem();

  DeviceFileInfo QueryFileInfo(const std::string& path);
  // The names in a folder, "." and ".." left out.
  std::vector<std::string> ListDirectory(const std::string& path);
  uint64_t OpenFile(const std::string& path);
  // Reads up to `length` bytes; the count read (0 at the end).
  uint32_t ReadFile(uint64_t handle, char* data, uint32_t length);
  void CloseFile(uint64_t handle);
  // Reads up to `size` bytes from the start of a device file.
  std::string ReadHead(const std::string& path, size_t size);

  // Copies a device file to `local` (created or truncated) in blocks of
  // 64 KiB. 0; 87 for any failure of the device services; the errno of the
  // local file. `size` gets the bytes copied.
  Status CopyDeviceFile(const std::string& devicePath, const std::filesystem::path& local, uint64_t* size = nullptr);

  // The phone's name: 0; 111 when it has 256 characters or more (the name
  // is left unchanged); 87 when the phone tells none; ENODEV without a phone.
  Status ReadDeviceName(std::string& name);

  // The file relay's "UserDatabases": the reply stream (a gzip-compressed
  // cpio archive) is written to `download` (created or truncated) as it
  // arrives. Progress: after a block that brings the bytes since the last
  // report above 32 MiB, base + k (k = 1, 2, ...); at the end base + k once
  // more, never above base + budget. 0; 87 when the relay refuses or cannot
  // be started; ENODEV when the phone went away; the errno of the local
  // file; the callback's answer when it is not 0.
  Status RelayUserDatabases(const std::filesystem::path& download);

  // The bundle identifiers of the user's applications, from the
  // installation service's listing over `connection` (several replies,
  // until "Status" is "Complete" or a reply brings nothing). 0, or -1 when
  // the connection fails.
  Status ListUserApplications(ServiceConnection& connection, std::vector<std::string>& bundleIds);
  // The same over a newly started installation service.
  Status ListUserApplications(std::vector<std::string>& bundleIds);

  // Vends an application's container; the file operations then work on
  // it ("/Documents/...", "/Library/Media/...") until the next
  // UseFileSystem or OpenFileService.
  void OpenAppContainer(const std::string& bundleId);

 private:
  void EnsureSession();
  AfcClient& Afc();
  void DropAfc();
  [[noreturn]] void Fail(DeviceFailure failure, const std::string& path = {});

  DeviceBinding& binding_;
  std::unique_ptr<AfcClient> afc_;
  bool sessionActive_ = false;
  bool rootFileSystem_ = false;
  bool container_ = false;
  DeviceProgress progress_;
};

// --- the relay archive in the work folder ---

// Un-gzips the relay download into the archive (zlib, in-process): 0 or 87.
Status UnpackRelayArchive(const std::filesystem::path& download, const std::filesystem::path& archive);

// Writes the data of the first entry standing for `devicePath`
// (ArchiveNameMatches) to `local`, created or truncated. 0; ENOENT when no
// entry matches; the errno of a failed file call.
Status ExtractArchiveEntry(const std::filesystem::path& archive, const std::string& devicePath,
                           const std::filesystem::path& local);

// Every entry whose first 512 bytes (fewer for a smaller entry) the media
// sniffer recognises is written to the work folder under PathDigestName of
// its path and appended to `media` (its name is the path after the last
// "/", at most 512 bytes). After each entry the progress gets
// base + budget x bytes consumed / archive size; a non-zero answer stops
// and is returned. What this call appended is sorted by name.
Status CarveArchiveMedia(const std::filesystem::path& archive, const std::filesystem::path& workFolder,
                         std::vector<MediaItem>& media, const DeviceProgress& progress = {});

// The SHA-1 of a path's bytes as 40 lowercase hexadecimal digits: the name
// of a local copy that has no fixed name.
std::string PathDigestName(std::string_view path);

}  // namespace orbanix::device
