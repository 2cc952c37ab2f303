// The photo library's own database (Media/PhotoData/Photos.sqlite): which
// Camera Roll files the phone has put in its "Recently Deleted" album, and
// when each was taken.
//
// The assets are rows of ZASSET (iOS 14 on; ZGENERICASSET before), read by
// column name: ZDIRECTORY ("DCIM/100APPLE") and ZFILENAME ("IMG_0001.HEIC")
// name the file below Media/ (a folder named alone, "100APPLE", lies below
// DCIM/), ZTRASHEDSTATE is 1 for an asset in "Recently
// Deleted", ZTRASHEDDATE the time it went there and ZDATECREATED the time
// it was taken (seconds since 2001-01-01); the last three may be missing
// (nothing is trashed, no date is known). Only live rows count: a row the
// library deleted is an asset that is gone.
#pragma once

#include <filesystem>
#include <string>
#include <unordered_map>

#include "platform/status.h"

namespace orbanix {

struct PhotoAsset {
  bool trashed = false;
  std::string created;      // local time "YYYY-MM-DD hh:mm:ss"; empty when unknown
  std::string trashedDate;  // the same, for a trashed asset
};

// "DCIM/100APPLE/IMG_0001.HEIC" -> the asset of that file.
using PhotoLibrary = std::unordered_map<std::string, PhotoAsset>;

// Reads the assets of the library at `photosDb` into `library`. 0; the
// reader's open error; 87 when the file has no asset table with the columns
// named above (another layout, or a damaged schema).
Status ReadPhotoLibrary(const std::filesystem::path& photosDb, PhotoLibrary& library);

}  // namespace orbanix
