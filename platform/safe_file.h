// Reading files of a backup, and writing output files, safely.
//
// A backup folder comes from anywhere: a half-copied disk, a damaged one, or
// someone who wants the program to read what it should not. A file of the
// backup is therefore opened
//   - without following a symbolic link (a stored file that is a link is
//     refused: a backup never makes the program read outside its folder),
//   - without waiting (a FIFO or a device opened for reading would block
//     forever), and only when it is a regular file,
//   - only when its real path lies inside the backup folder (a subfolder
//     that is a link to elsewhere is refused too).
//
// Output files are written under a temporary name in their own folder and
// take their final name only once complete and flushed: a failed or
// interrupted write never leaves a partial file under a name that looks
// whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/status.h"

namespace orbanix {

// Opens `path` read-only as described above. `root`, when not empty, is the
// folder the file must lie in. Returns the descriptor (blocking mode, close
// on exec), or -1 with `reason` saying why in a few words ("is a symbolic
// link", "is a FIFO", "lies outside the backup folder", or the system's
// text) and `error` the errno (ELOOP for a link, EINVAL for a file that is
// not regular, EXDEV for a path outside the root).
int OpenStoredFile(const std::filesystem::path& path, const std::filesystem::path& root, std::string* reason,
                   int* error = nullptr, uint64_t* size = nullptr);

// True when anything stands under the name: a file, a folder, a FIFO, or a
// link (not followed, so a link to itself or to nowhere is there too). A
// stored file that is there but cannot be read is a problem to tell, never a
// file the backup does not have.
bool EntryExists(const std::filesystem::path& path);

// True when `path` (resolved) lies inside `root` (resolved). False when
// either cannot be resolved.
bool RealPathInside(const std::filesystem::path& path, const std::filesystem::path& root);

// The words for a file type that is not a regular file ("a FIFO", "a
// folder", ...), from stat's mode.
std::string FileTypeWords(unsigned mode);

// An output file written under a temporary name beside its final one.
//   OutputFile out;
//   if (Status s = out.Open(path)) ...;   // the folder must exist
//   write to out.fd() or out.stream() ...
//   Status s = out.Commit();              // flush, sync, rename
// Destroying it without a successful Commit removes the temporary file.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file (mode 0644). 0 or errno; EISDIR when the
  // final path is a folder and EEXIST when it is anything else but a file.
  Status Open(const std::filesystem::path& finalPath);
  int fd() const { return fd_; }
  // A stdio stream over the same file (made on first use; nullptr when it
  // cannot be had). Commit flushes it.
  std::FILE* stream();
  // Writes all bytes; 0 or errno.
  Status Write(const void* data, size_t size);
  // Flushes, syncs and renames onto the final name; 0 or the errno of the
  // step that failed (the temporary file is removed then).
  Status Commit();
  // Removes the temporary file now.
  void Discard();

  const std::filesystem::path& temporaryPath() const { return temporary_; }
  const std::filesystem::path& finalPath() const { return final_; }
  bool IsOpen() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  int slot_ = -1;  // in the table of temporary files being written
  std::FILE* stream_ = nullptr;
  std::filesystem::path temporary_;
  std::filesystem::path final_;
};

// True for a name OutputFile gives its temporary files.
bool IsTemporaryOutputName(const std::string& fileName);

// Removes every temporary file that an OutputFile is writing now. Safe to
// call from a signal handler (no allocation, no lock): the process is about
// to end without running destructors. The open files are kept in a fixed
// table of 64 paths; a file opened while all are taken is not removed.
void RemoveTemporaryOutputFiles();

}  // namespace orbanix
