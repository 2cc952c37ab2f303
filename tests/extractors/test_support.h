// Shared helpers of the extractor tests: a scratch folder per test and a
// raw SQLite connection (secure_delete off) for rows the generators do not
// write.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "sqlite_pages/provenance.h"

namespace orbanix::testing_support {

namespace fs = std::filesystem;

class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("orbanix-" + std::string(info->test_suite_name()) + "-" + info->name() + "-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    SetZone("UTC");
  }
  void TearDown() override {
    fs::remove_all(dir_);
    SetZone("UTC");
  }
  static void SetZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
  fs::path Path(const std::string& name) const { return dir_ / name; }
  static std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  fs::path dir_;
};

// Whether `text` lies in the page of the database (`file`: its bytes) that
// `from` names, at or after its offset: where a recovered record says it
// was found.
inline bool LiesWhereFound(const std::string& file, const RecoveredFrom& from, const std::string& text) {
  if (!from.Known() || file.size() < 100 || text.empty()) return false;
  uint32_t pageSize = (static_cast<uint32_t>(static_cast<uint8_t>(file[16])) << 8) | static_cast<uint8_t>(file[17]);
  if (pageSize == 1) pageSize = 65536;
  const size_t start = static_cast<size_t>(from.page - 1) * pageSize;
  const size_t at = start + from.offset;
  const size_t end = std::min(file.size(), start + pageSize);
  return at < end && std::string_view(file).substr(at, end - at).find(text) != std::string_view::npos;
}

// Runs SQL on an existing database file.
inline void ExecSql(const fs::path& db, const std::string& sql) {
  sqlite3* h = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
  char* err = nullptr;
  sqlite3_exec(h, "PRAGMA secure_delete=OFF;", nullptr, nullptr, nullptr);
  const int rc = sqlite3_exec(h, sql.c_str(), nullptr, nullptr, &err);
  EXPECT_EQ(rc, SQLITE_OK) << (err ? err : "") << " in " << sql;
  sqlite3_free(err);
  sqlite3_close(h);
}

}  // namespace orbanix::testing_support
