// The pages a B-tree walk has already visited: a damaged tree can point back
// to a page it came from, and a walk must not loop.
//
// Most walks are tiny (a free-list page that is a single leaf), some cover a
// whole table: the first few indexes are kept in a short list, then one bit
// per page of the file is used. Indexes beyond the file's last page come
// only from damaged pointers and go to a hash set, so they cannot make the
// bit set grow.
#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

namespace orbanix {

class PageSet {
 public:
  explicit PageSet(uint64_t pageCount) : pageCount_(pageCount) {}

  // Adds the index; false when it was there already.
  bool Insert(uint32_t index) {
    if (index >= pageCount_) return beyond_.insert(index).second;
    if (bits_.empty()) {
      for (uint32_t known : few_) {
        if (known == index) return false;
      }
      if (few_.size() < kFew) {
        few_.push_back(index);
        return true;
      }
      bits_.assign(static_cast<size_t>((pageCount_ + 63) / 64), 0);
      for (uint32_t known : few_) bits_[known / 64] |= uint64_t{1} << (known % 64);
    }
    uint64_t& word = bits_[index / 64];
    const uint64_t bit = uint64_t{1} << (index % 64);
    if (word & bit) return false;
    word |= bit;
    return true;
  }

  bool Contains(uint32_t index) const {
    if (index >= pageCount_) return beyond_.count(index) > 0;
    if (bits_.empty()) {
      for (uint32_t known : few_) {
        if (known == index) return true;
      }
      return false;
    }
    return (bits_[index / 64] >> (index % 64)) & 1;
  }

 private:
  static constexpr size_t kFew = 32;
  uint64_t pageCount_;
  std::vector<uint32_t> few_;
  std::vector<uint64_t> bits_;
  std::unordered_set<uint32_t> beyond_;
};

}  // namespace orbanix
