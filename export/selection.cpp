#include "export/selection.h"

#include <algorithm>

namespace orbanix {

bool SelectionTable::Add(const void* id, SelectionState state) {
  if (index_.count(id) != 0) return false;
  index_.emplace(id, entries_.size());
  entries_.emplace_back(id, std::move(state));
  return true;
}

SelectionState* SelectionTable::Find(const void* id) {
  const auto it = index_.find(id);
  return it == index_.end() ? nullptr : &entries_[it->second].second;
}

const SelectionState* SelectionTable::Find(const void* id) const {
  const auto it = index_.find(id);
  return it == index_.end() ? nullptr : &entries_[it->second].second;
}

void SelectionTable::Clear() {
  entries_.clear();
  index_.clear();
}

void CStatisticsObj::AddFolder(const void* id, const void* parent) {
  SelectionState state;
  state.folder = 1;
  state.parent = parent;
  if (!table_.Add(id, state)) return;
  if (SelectionState* up = parent ? table_.Find(parent) : nullptr) up->children.push_back(id);
}

void CStatisticsObj::AddItem(const void* id, Category category, bool deleted, uint64_t size, const void* parent) {
  SelectionState state;
  state.category = static_cast<int>(category);
  state.deleted = deleted ? 1 : 0;
  state.size = std::max<uint64_t>(size, 1024);
  state.parent = parent;
  if (!table_.Add(id, state)) return;
  if (SelectionState* up = parent ? table_.Find(parent) : nullptr) up->children.push_back(id);
  Count(*table_.Find(id), +1);
}

void CStatisticsObj::Count(const SelectionState& item, int sign) {
  const bool tickedHidden = item.ticked && item.hidden;
  items_ += sign;
  ticked_ += item.ticked ? sign : 0;
  hidden_ += item.hidden ? sign : 0;
  tickedHidden_ += tickedHidden ? sign : 0;
  if (sign > 0) {
    totalSize_ += item.size;
    if (item.ticked && !item.hidden) tickedSize_ += item.size;
  } else {
    totalSize_ -= item.size;
    if (item.ticked && !item.hidden) tickedSize_ -= item.size;
  }
  // Every grouping entry above counts the item; the walk is bounded by the
  // table's size so a mistaken cycle cannot hang it.
  size_t guard = table_.size();
  for (const void* up = item.parent; up != nullptr && guard-- > 0;) {
    SelectionState* folder = table_.Find(up);
    if (!folder) break;
    folder->counters.items += sign;
    folder->counters.ticked += item.ticked ? sign : 0;
    folder->counters.hidden += item.hidden ? sign : 0;
    folder->counters.tickedHidden += tickedHidden ? sign : 0;
    up = folder->parent;
  }
}

void CStatisticsObj::Apply(SelectionState& item, bool ticked, bool hidden) {
  if ((item.ticked != 0) == ticked && (item.hidden != 0) == hidden) return;
  Count(item, -1);
  item.ticked = ticked ? 1 : 0;
  item.hidden = hidden ? 1 : 0;
  Count(item, +1);
}

void CStatisticsObj::SetTicked(const void* id, bool ticked) {
  SelectionState* entry = table_.Find(id);
  if (!entry) return;
  if (!entry->folder) {
    Apply(*entry, ticked, entry->hidden != 0);
    return;
  }
  entry->ticked = ticked ? 1 : 0;
  // Breadth-first over the entries below, bounded by the table's size.
  std::vector<const void*> pending = entry->children;
  for (size_t i = 0; i < pending.size() && i < table_.size(); ++i) {
    SelectionState* child = table_.Find(pending[i]);
    if (!child) continue;
    if (child->folder) {
      child->ticked = ticked ? 1 : 0;
      pending.insert(pending.end(), child->children.begin(), child->children.end());
    } else {
      Apply(*child, ticked, child->hidden != 0);
    }
  }
}

void CStatisticsObj::SetCategoryTicked(Category category, bool ticked) {
  for (auto& [id, state] : table_.entries()) {
    if (!state.folder && state.category == static_cast<int>(category)) Apply(state, ticked, state.hidden != 0);
  }
}

int CStatisticsObj::SetDeletedOnly(Category category, bool on) {
  for (auto& [id, state] : table_.entries()) {
    if (!state.folder && state.category == static_cast<int>(category)) {
      Apply(state, state.ticked != 0, on && !state.deleted);
    }
  }
  return HiddenCount(category);
}

int CStatisticsObj::HiddenCount(Category category) const {
  int n = 0;
  for (const auto& [id, state] : table_.entries()) {
    if (!state.folder && state.hidden && state.category == static_cast<int>(category)) ++n;
  }
  return n;
}

FolderCheck CStatisticsObj::FolderState(const void* folder) const {
  const SelectionState* entry = table_.Find(folder);
  if (!entry || !entry->folder) return FolderCheck::kUnchecked;
  const SelectionCounters& c = entry->counters;
  if (c.ticked == 0) return FolderCheck::kUnchecked;
  return c.ticked == c.items ? FolderCheck::kChecked : FolderCheck::kPartial;
}

SelectionStatistics CStatisticsObj::Statistics() const {
  SelectionStatistics s;
  s.tickedSize = tickedSize_;
  s.tickedCount = std::max(0, ticked_ - tickedHidden_);
  s.totalSize = totalSize_;
  s.totalCount = items_;
  return s;
}

void CStatisticsObj::Clear() {
  table_.Clear();
  items_ = ticked_ = hidden_ = tickedHidden_ = 0;
  totalSize_ = tickedSize_ = 0;
}

}  // namespace orbanix
