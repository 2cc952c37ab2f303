// Where a recovered row was found in its database file: what kind of free
// space held it, the page and the byte offset. Kept on every record a
// category delivers, shown in the preview's details and written beside the
// row in the documents that have columns for it, so that a forensic reader
// can go back to the bytes.
#pragma once

#include <cstdint>
#include <string>

#include "sqlite_pages/btree.h"

namespace orbanix {

struct RecoveredFrom {
  uint32_t page = 0;     // page number, counted from 1 as SQLite counts them; 0: not recovered from free space
  uint16_t offset = 0;   // of the cell (or of the record, where its cell header was lost) in the page
  RowSource source = RowSource::kLive;

  bool Known() const { return page != 0; }
};

// The place of a recovered row handed to a decoder; nothing for a live row
// (a live row the phone marked deleted is no find in free space).
RecoveredFrom RecoveredFromInput(const RowInput& input);

// The kinds of place, as words stable for files read by programs:
// "freeblock", "unallocated", "stale-pointer", "freelist", "dropped-table";
// "" for a live row.
const char* RecoveredFromKey(RowSource source);

// The same for people: "free block", "unallocated space", "stale cell
// pointer", "free-list page", "dropped table"; "" for a live row.
const char* RecoveredFromLabel(RowSource source);

// "free block, page 12, offset 3050"; "" when not known.
std::string RecoveredFromText(const RecoveredFrom& from);

}  // namespace orbanix
