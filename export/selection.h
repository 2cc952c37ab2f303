// The selection of a scan's results: which found items the user keeps.
//
// SelectionTable maps each found item (identified by the address of its
// record or file entry, which stays put while the results live) to its
// SelectionState, in the order the items were added. CStatisticsObj owns the
// table and keeps the counters and sizes that the statistics line, the
// "Recover" button and the recovery read. Every item starts ticked.
//
// Grouping entries (a category root, or an application folder of App Photos
// or App Videos) carry the counters of the items below them, so an
// application's three-state box can be drawn without walking its files.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sources/categories.h"

namespace orbanix {

struct SelectionCounters {
  int items = 0;
  int ticked = 0;
  int hidden = 0;
  int tickedHidden = 0;  // ticked and hidden at once
};

struct SelectionState {
  int folder = 0;    // 1 for a grouping entry, 0 for a data item
  int ticked = 1;    // selected for recovery
  int deleted = 0;   // restored from a deleted row
  int hidden = 0;    // hidden by the deleted-only filter
  int category = 0;  // Category number 1-11; 0 for grouping entries
  // Size for the statistics, at least 1024. 64 bits: videos pass 4 GiB.
  uint64_t size = 1024;
  const void* parent = nullptr;         // grouping entry above, if any
  std::vector<const void*> children;    // grouping entry: the entries below
  SelectionCounters counters;           // grouping entry: over its data items
};

class SelectionTable {
 public:
  using Entry = std::pair<const void* const, SelectionState>;

  // Adds an entry; false when the identity is already present.
  bool Add(const void* id, SelectionState state);
  SelectionState* Find(const void* id);
  const SelectionState* Find(const void* id) const;
  const std::vector<Entry>& entries() const { return entries_; }
  std::vector<Entry>& entries() { return entries_; }
  size_t size() const { return entries_.size(); }
  void Clear();

 private:
  std::vector<Entry> entries_;
  std::unordered_map<const void*, size_t> index_;
};

enum class FolderCheck { kUnchecked, kPartial, kChecked };

// The four numbers of the statistics line, in its order.
struct SelectionStatistics {
  uint64_t tickedSize = 0;  // ticked and not hidden
  int tickedCount = 0;      // ticked minus ticked-and-hidden, never below 0
  uint64_t totalSize = 0;
  int totalCount = 0;
};

class CStatisticsObj {
 public:
  SelectionTable& table() { return table_; }
  const SelectionTable& table() const { return table_; }

  // A grouping entry, under another one or at the top.
  void AddFolder(const void* id, const void* parent = nullptr);
  // A data item, ticked; `size` is raised to 1024 when smaller.
  void AddItem(const void* id, Category category, bool deleted, uint64_t size, const void* parent = nullptr);

  // Ticks or unticks one data item, or every item below a grouping entry.
  void SetTicked(const void* id, bool ticked);
  // The header checkbox: every item of a category.
  void SetCategoryTicked(Category category, bool ticked);

  // The deleted-only filter of one category: on hides every item that is not
  // deleted, off shows them again. Returns the number of hidden items of the
  // category afterwards.
  int SetDeletedOnly(Category category, bool on);
  int HiddenCount(Category category) const;

  FolderCheck FolderState(const void* folder) const;
  SelectionStatistics Statistics() const;
  // "Recover" is possible when some ticked item is not hidden.
  bool RecoverEnabled() const { return ticked_ > tickedHidden_; }
  // The number of items a recovery run will write: ticked and not hidden.
  int RecoveryTotal() const { return ticked_ - tickedHidden_; }

  void Clear();

 private:
  void Apply(SelectionState& item, bool ticked, bool hidden);
  void Count(const SelectionState& item, int sign);

  SelectionTable table_;
  int items_ = 0;
  int ticked_ = 0;
  int hidden_ = 0;
  int tickedHidden_ = 0;
  uint64_t totalSize_ = 0;
  uint64_t tickedSize_ = 0;  // ticked and not hidden
};

}  // namespace orbanix
