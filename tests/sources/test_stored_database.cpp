#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sources/stored_database.h"

namespace orbanix {
namespace {

// A database header: page size, page count, and the two numbers that make
// the count valid when equal.
std::string Header(uint16_t pageSizeField, uint32_t pageCount, bool countValid = true) {
  std::string h(100, '\0');
  std::memcpy(h.data(), "SQLite format 3", 16);
  h[16] = static_cast<char>(pageSizeField >> 8);
  h[17] = static_cast<char>(pageSizeField & 0xFF);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) h[at + i] = static_cast<char>(v >> (24 - 8 * i));
  };
  put32(24, 7);
  put32(28, pageCount);
  put32(92, countValid ? 7 : 6);
  return h;
}

StoredDatabaseCheck Check(const std::string& header, uint64_t size) {
  return CheckDatabaseHeader(reinterpret_cast<const uint8_t*>(header.data()), header.size(), size);
}

TEST(StoredDatabase, HeaderAndLengthTellWholeCutAndForeignFiles) {
  using S = StoredDatabaseState;
  EXPECT_EQ(Check(Header(4096, 10), 40960).state, S::kReadable);
  EXPECT_EQ(Check(Header(4096, 10), 81920).state, S::kReadable);  // longer than the count: still whole
  EXPECT_EQ(Check(Header(1, 2), 131072).state, S::kReadable);     // 1 stands for 65536

  const StoredDatabaseCheck cut = Check(Header(4096, 10), 20480);
  EXPECT_EQ(cut.state, S::kPartial);
  EXPECT_EQ(cut.what, "is cut short");
  EXPECT_EQ(cut.reason, "20480 of 40960 bytes");
  // Without a valid count, a length that is not whole pages is a cut too.
  EXPECT_EQ(Check(Header(4096, 10, false), 20480).state, S::kReadable);
  EXPECT_EQ(Check(Header(4096, 10, false), 20000).state, S::kPartial);

  EXPECT_EQ(Check(Header(4096, 10), 0).what, "is empty");
  EXPECT_EQ(Check(Header(4096, 10).substr(0, 50), 50).state, S::kUnreadable);
  EXPECT_EQ(Check(std::string(100, '\0'), 4096).reason, "its first page is zeroed");
  EXPECT_EQ(Check(std::string(100, 'x'), 4096).what, "is not an SQLite database");
  for (uint16_t bad : {0, 100, 3000, 256}) {
    EXPECT_EQ(Check(Header(bad, 1), 4096).what, "has a damaged header") << bad;
  }
  EXPECT_EQ(CheckStoredDatabase("/nonexistent/orbanix/db", {}).state, S::kMissing);
}

}  // namespace
}  // namespace orbanix
