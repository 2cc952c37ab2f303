// Recovery figures per family of the synthetic backups: how many of the
// deleted rows the generator wrote are still in the file, how many of them
// the category's scan delivers, how many it delivers more than once and how
// many deleted items it delivers that are no deleted row at all.
//
// A deleted row "survives" when its record body (the column values as
// SQLite lays them out, taken from a copy of the same database built without
// the deletions) or, where no such copy can be built, its distinctive text
// is still somewhere in the file's bytes. What recovery can give back at
// best is what survives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace orbanix::figures {

namespace fs = std::filesystem;

struct Figures {
  std::string family;  // "contacts", "calls", "notes", "messages", "whatsapp", "qq", "wechat"
  std::string store;   // the database and layout measured
  size_t deleted = 0;        // deleted rows in the truth
  size_t surviving = 0;      // of them, those whose bytes are in the file
  size_t delivered = 0;      // distinct deleted rows delivered
  size_t twice = 0;          // deliveries of a deleted row beyond its first
  size_t phantoms = 0;       // delivered deleted items that match no deleted row
  // Delivered deleted items that show true values of a deleted row but not
  // the whole row (a recovered person's name whose numbers could not be
  // joined to it; numbers whose person's name is lost): no phantom, and not
  // the row delivered either.
  size_t partly = 0;
  size_t liveDelivered = 0;  // distinct live rows delivered
  size_t liveExpected = 0;
  std::vector<std::string> missed;    // surviving deleted rows not delivered
  std::vector<std::string> phantomItems;  // what the phantoms showed
  std::vector<std::string> partlyItems;   // what the partial items showed
  std::vector<std::string> liveMissed;    // live rows not delivered
  // Delivered over surviving (1 when nothing survives).
  double Recall() const;
};

// Counts one family: the truth is registered first, then every delivered
// item with the key of the truth row it matches ("" when it matches none).
class Tally {
 public:
  void Live(const std::string& key);
  // `label` names the row in the lists of missed rows.
  void Deleted(const std::string& key, bool survives, const std::string& label = {});
  // A live item of the scan. Items matching no live row are not counted.
  void DeliveredLive(const std::string& key);
  // A deleted item of the scan; `shown` describes it for the phantom list.
  void DeliveredDeleted(const std::string& key, const std::string& shown);
  // A deleted item of the scan that shows part of a deleted row, all of it
  // true (see Figures::partly).
  void DeliveredPartly(const std::string& shown);
  bool IsDeleted(const std::string& key) const { return deleted_.count(key) > 0; }
  bool IsLive(const std::string& key) const { return live_.count(key) > 0; }
  Figures Result(const std::string& family, const std::string& store) const;

 private:
  std::set<std::string> live_;
  std::map<std::string, std::pair<bool, std::string>> deleted_;  // key -> survives, label
  std::set<std::string> liveSeen_;
  std::map<std::string, int> deliveredCount_;
  std::vector<std::string> phantoms_;
  std::vector<std::string> partly_;
};

// The record bodies of the rows of `table` in the database at `path`, by
// rowid: each body's bytes (the values after the record header) as they lie
// on the page, cut at `limit` bytes (a long body continues on overflow pages
// elsewhere in the file).
std::map<int64_t, std::string> RecordBodies(const fs::path& path, const std::string& table, size_t limit = 400);

std::string ReadFileBytes(const fs::path& path);

enum class Era { kMbdb, kManifestDb };

struct RunOptions {
  Era era = Era::kMbdb;
  bool current = false;  // the stores as current phones lay them out
  int scale = 1;
  fs::path workDir;      // scratch folder for the databases (created)
  std::set<std::string> families;  // empty: all
};

const std::vector<std::string>& FamilyNames();

// Builds each family's databases for the era, scans them with the
// extractors and counts. Throws std::runtime_error when a database cannot
// be built or opened.
std::vector<Figures> Run(const RunOptions& options);

// One line per family: the counts as a table.
std::string FormatTable(const std::vector<Figures>& figures, const std::string& era);

}  // namespace orbanix::figures
