// The selection bookkeeping: ticks, application folders, the deleted-only
// filter and the statistics numbers.
#include <gtest/gtest.h>

#include "export/selection.h"

namespace orbanix {
namespace {

struct Items {
  int app = 0;
  int photos[3] = {};
  int notes[4] = {};
};

// An application folder with three photos, and four notes of which one is deleted.
void Fill(CStatisticsObj& stats, Items& it) {
  stats.AddFolder(&it.app);
  for (int& p : it.photos) stats.AddItem(&p, Category::AppPhotos, false, 2048, &it.app);
  for (int i = 0; i < 4; ++i) stats.AddItem(&it.notes[i], Category::Notes, i == 2, 10);
}

TEST(Selection, EverythingStartsTickedAndSizesAreAtLeast1024) {
  CStatisticsObj stats;
  Items it;
  Fill(stats, it);
  const auto s = stats.Statistics();
  EXPECT_EQ(s.totalCount, 7);
  EXPECT_EQ(s.tickedCount, 7);
  EXPECT_EQ(s.totalSize, 3u * 2048 + 4u * 1024);
  EXPECT_EQ(s.tickedSize, s.totalSize);
  EXPECT_EQ(stats.table().size(), 8u);
  EXPECT_EQ(stats.table().entries().front().first, &it.app);  // insertion order
  EXPECT_EQ(stats.FolderState(&it.app), FolderCheck::kChecked);
  EXPECT_TRUE(stats.RecoverEnabled());
  EXPECT_EQ(stats.RecoveryTotal(), 7);
}

TEST(Selection, UntickingOneFileMakesItsApplicationPartlyChecked) {
  CStatisticsObj stats;
  Items it;
  Fill(stats, it);
  stats.SetTicked(&it.photos[1], false);
  EXPECT_EQ(stats.FolderState(&it.app), FolderCheck::kPartial);
  EXPECT_EQ(stats.Statistics().tickedSize, 2u * 2048 + 4u * 1024);
  stats.SetTicked(&it.app, false);
  EXPECT_EQ(stats.FolderState(&it.app), FolderCheck::kUnchecked);
  EXPECT_EQ(stats.Statistics().tickedCount, 4);
  stats.SetTicked(&it.app, true);
  EXPECT_EQ(stats.FolderState(&it.app), FolderCheck::kChecked);
  EXPECT_EQ(stats.Statistics().tickedCount, 7);
}

TEST(Selection, FilterOnAndOffRestoresEverythingAndHiddenTickedItemsDoNotCount) {
  CStatisticsObj stats;
  Items it;
  Fill(stats, it);
  stats.SetTicked(&it.notes[0], false);
  const auto before = stats.Statistics();
  EXPECT_EQ(stats.SetDeletedOnly(Category::Notes, true), 3);
  const auto filtered = stats.Statistics();
  EXPECT_EQ(filtered.tickedCount, 4);  // three photos and the deleted note
  EXPECT_EQ(filtered.tickedSize, 3u * 2048 + 1024u);
  EXPECT_EQ(filtered.totalCount, 7);
  EXPECT_EQ(stats.RecoveryTotal(), 4);
  EXPECT_EQ(stats.HiddenCount(Category::AppPhotos), 0);
  EXPECT_EQ(stats.SetDeletedOnly(Category::Notes, false), 0);
  const auto after = stats.Statistics();
  EXPECT_EQ(after.tickedCount, before.tickedCount);
  EXPECT_EQ(after.tickedSize, before.tickedSize);
}

TEST(Selection, RecoverNeedsATickedItemThatIsNotHidden) {
  CStatisticsObj stats;
  Items it;
  Fill(stats, it);
  stats.SetCategoryTicked(Category::AppPhotos, false);
  stats.SetTicked(&it.notes[2], false);  // the deleted note
  stats.SetDeletedOnly(Category::Notes, true);
  EXPECT_FALSE(stats.RecoverEnabled());
  EXPECT_EQ(stats.Statistics().tickedCount, 0);
  EXPECT_EQ(stats.RecoveryTotal(), 0);
  stats.Clear();
  EXPECT_EQ(stats.Statistics().totalCount, 0);
  EXPECT_FALSE(stats.RecoverEnabled());
}

}  // namespace
}  // namespace orbanix
