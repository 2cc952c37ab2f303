// A look at a stored database before an extractor reads it: whether it is
// there, whether it may be opened at all (a regular file inside the backup
// folder, not a link, not a FIFO), and whether its SQLite header and length
// agree (a database cut short still gives what its remaining pages hold,
// but the user must hear that it is incomplete).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/problems.h"

namespace orbanix {

enum class StoredDatabaseState {
  kMissing,     // no such stored file: the category simply has nothing
  kReadable,    // a whole SQLite file as far as its header tells
  kPartial,     // readable, but cut short or with a damaged header field
  kUnreadable,  // refused or not an SQLite file: nothing can be read from it
};

struct StoredDatabaseCheck {
  StoredDatabaseState state = StoredDatabaseState::kMissing;
  std::string what;    // "cannot be opened", "is cut short", ...
  std::string reason;  // the system's reason or the numbers behind it
  uint64_t size = 0;
};

// `root`, when not empty, is the backup folder the file must lie in.
StoredDatabaseCheck CheckStoredDatabase(const std::filesystem::path& path, const std::filesystem::path& root);

// The same over the first bytes of a file (at least 100) and its length.
StoredDatabaseCheck CheckDatabaseHeader(const uint8_t* header, size_t headerSize, uint64_t fileSize);

// What is wrong with the write-ahead log of the database at `path` (the one
// its readers use, db_file_reader.h), as a problem of `category` about
// `logName`: a log that exists but gives nothing, or breaks off. None when
// there is no log or it reads whole.
std::optional<Problem> WriteAheadLogProblem(const std::string& category, const std::string& logName,
                                            const std::filesystem::path& path);

}  // namespace orbanix
