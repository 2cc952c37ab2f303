#include "sqlite_pages/provenance.h"

namespace orbanix {

RecoveredFrom RecoveredFromInput(const RowInput& input) {
  RecoveredFrom from;
  if (input.deleted == 0 || input.source == RowSource::kLive) return from;
  from.page = input.pageIndex + 1;
  from.offset = static_cast<uint16_t>(input.offset);
  from.source = input.source;
  return from;
}

const char* RecoveredFromKey(RowSource source) {
  switch (source) {
    case RowSource::kLive: return "";
    case RowSource::kFreeblock: return "freeblock";
    case RowSource::kTail:
    case RowSource::kGap: return "unallocated";
    case RowSource::kStalePointer: return "stale-pointer";
    case RowSource::kFreelistCell:
    case RowSource::kFreelistCandidate: return "freelist";
    case RowSource::kFreelistDroppedTable: return "dropped-table";
  }
  return "";
}

const char* RecoveredFromLabel(RowSource source) {
  switch (source) {
    case RowSource::kLive: return "";
    case RowSource::kFreeblock: return "free block";
    case RowSource::kTail:
    case RowSource::kGap: return "unallocated space";
    case RowSource::kStalePointer: return "stale cell pointer";
    case RowSource::kFreelistCell:
    case RowSource::kFreelistCandidate: return "free-list page";
    case RowSource::kFreelistDroppedTable: return "dropped table";
  }
  return "";
}

std::string RecoveredFromText(const RecoveredFrom& from) {
  if (!from.Known()) return {};
  return std::string(RecoveredFromLabel(from.source)) + ", page " + std::to_string(from.page) + ", offset " +
         std::to_string(from.offset);
}

}  // namespace orbanix
