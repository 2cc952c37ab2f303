// What the preview views show and the user's selection over it: the scan's
// record containers, the rows that stand for conversations and chats, the
// selection with its counters, and the per-category deleted-only marks.
//
// Categories join one by one as their scan operations end; a container is
// appended to only once, when its operation ends, so the addresses the
// selection keys on stay put for the life of the results.
#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "export/recovery.h"
#include "export/selection.h"
#include "sources/recovery_source.h"
#include "sources/scan_plan.h"

namespace orbanix::preview {

class PreviewData {
 public:
  // Starts over for the results of a new scan (which may still be empty).
  void Reset(ScanResults* results, IPhoneRecoveryParse* source);

  // Adds the items of a category whose operation has ended to the
  // selection, ticked. False when the category was added before, was not
  // ticked for the scan, or holds no data.
  bool AddCategory(Category category);
  bool Added(Category category) const { return added_[Index(category)]; }
  // Every category of the scan that is not added yet.
  void AddAll();

  // The count of a category's tree node: one per conversation or chat, one
  // per record or file otherwise.
  int ItemCount(Category category) const;

  // The messages of a conversation / chat; empty when unknown.
  const std::vector<MessageRecord>& Conversation(int64_t handleId) const;
  const std::vector<ChatMessageRecord>& Chat(int chatId) const;

  // The deleted-only mark of a category ("D" on the tree node).
  bool DeletedOnly(Category category) const { return deletedOnly_[Index(category)]; }
  // Switches the mark and the selection's hidden flags; the hidden count.
  int SetDeletedOnly(Category category, bool on);

  CStatisticsObj& selection() { return selection_; }
  const CStatisticsObj& selection() const { return selection_; }
  const RecoveryRecords& records() const { return records_; }
  ScanResults* results() const { return results_; }
  IPhoneRecoveryParse* source() const { return source_; }
  const std::vector<MessageRecord>& conversationRows() const { return conversationRows_; }
  const std::vector<ChatMessageRecord>& chatRows() const { return chatRows_; }

 private:
  static size_t Index(Category c) { return static_cast<size_t>(c); }

  ScanResults* results_ = nullptr;
  IPhoneRecoveryParse* source_ = nullptr;
  std::vector<MessageRecord> conversationRows_;
  std::vector<ChatMessageRecord> chatRows_;
  RecoveryRecords records_;
  CStatisticsObj selection_;
  std::array<bool, kCategoryCount + 1> added_{};
  std::array<bool, kCategoryCount + 1> deletedOnly_{};
};

}  // namespace orbanix::preview
