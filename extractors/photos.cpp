#include "extractors/photos.h"

#include "platform/text.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/columns.h"
#include "sqlite_pages/db_file_reader.h"
#include "sqlite_pages/record.h"
#include "sqlite_pages/values.h"

namespace orbanix {

Status ReadPhotoLibrary(const std::filesystem::path& photosDb, PhotoLibrary& library) {
  CDbFileReader reader;
  if (const Status opened = reader.Open(photosDb); opened != status::kOk) return opened;
  const char* table = "ZASSET";
  ColumnLookup columns = ColumnLookup::Load(photosDb, table);
  if (!columns.HasSchema()) {
    table = "ZGENERICASSET";
    columns = ColumnLookup::Load(photosDb, table);
  }
  const int directory = columns.Find("ZDIRECTORY"), fileName = columns.Find("ZFILENAME");
  const int trashed = columns.Find("ZTRASHEDSTATE"), trashedDate = columns.Find("ZTRASHEDDATE");
  const int created = columns.FindAny({"ZDATECREATED"});
  if (directory < 0 || fileName < 0) return status::kBadData;
  ParsedRecord r;
  const Status st = ScanTable(reader, table, [&](CDbFileReader& rd, const RowInput& in) -> Status {
    if (in.deleted) return status::kBadData;
    if (const Status parsed = ParseRecord(rd, in, r); parsed != status::kOk) return parsed;
    if (!r.IsText(directory) || !r.IsText(fileName)) return status::kBadData;
    // "DCIM/100APPLE"; some libraries keep the folder's own name alone,
    // which lies below DCIM/ all the same.
    std::string folder = r.AsText(directory);
    if (folder.find('/') == std::string::npos) folder = "DCIM/" + folder;
    const std::string path = folder + "/" + r.AsText(fileName);
    if (HasReplacementOrZero(path)) return status::kBadData;
    PhotoAsset asset;
    asset.trashed = trashed >= 0 && r.IsInteger(trashed) && r.AsInt64(trashed) == 1;
    if (created >= 0) asset.created = FormatDateColumn(r, created, Epoch::kApple);
    if (asset.trashed && trashedDate >= 0) asset.trashedDate = FormatDateColumn(r, trashedDate, Epoch::kApple);
    library.emplace(path, std::move(asset));
    return status::kOk;
  });
  return library.empty() ? st : status::kOk;
}

}  // namespace orbanix
