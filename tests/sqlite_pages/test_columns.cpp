#include <gtest/gtest.h>

#include "sqlite_pages/columns.h"

namespace orbanix {
namespace {

TEST(ColumnsTest, ParsesTheColumnListOfCreateTableStatements) {
  using Names = std::vector<std::string>;
  EXPECT_EQ(ParseCreateTableColumns("CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT "
                                    "UNIQUE NOT NULL, text TEXT, date INTEGER DEFAULT (0))"),
            (Names{"ROWID", "guid", "text", "date"}));
  // Quoted names, a comment, nested parentheses and a comma inside a literal.
  EXPECT_EQ(ParseCreateTableColumns("create table \"ZCALL\"\"RECORD\" ([Z PK] INTEGER, `ZDATE` TIMESTAMP -- when\n"
                                    ", \"a\"\"b\" TEXT CHECK (length(a) > 0), 'c' DEFAULT 'x,y', d NUMERIC(10, 2))"),
            (Names{"Z PK", "ZDATE", "a\"b", "c", "d"}));
  // Table constraints end the column list.
  EXPECT_EQ(ParseCreateTableColumns("CREATE TABLE t (a, b, PRIMARY KEY (a, b), FOREIGN KEY (b) REFERENCES u)"),
            (Names{"a", "b"}));
  EXPECT_EQ(ParseCreateTableColumns("CREATE TABLE t(a,b) WITHOUT ROWID"), (Names{"a", "b"}));
  // Not a statement with a column list: nothing to trust.
  EXPECT_TRUE(ParseCreateTableColumns("").empty());
  EXPECT_TRUE(ParseCreateTableColumns("CREATE TABLE t (a, b").empty());
  EXPECT_TRUE(ParseCreateTableColumns("CREATE TABLE t (a, , b)").empty());
  EXPECT_TRUE(ParseCreateTableColumns("CREATE INDEX i ON t").empty());
  EXPECT_TRUE(ParseCreateTableColumns("CREATE TABLE t (\"a, b)").empty());
}

TEST(ColumnsTest, FindsByNameAndFallsBackOnlyWithoutSchema) {
  const ColumnLookup none;
  EXPECT_FALSE(none.HasSchema());
  EXPECT_EQ(none.Find("ZDATE", 4), 4);
  EXPECT_EQ(none.FindAny({"ZCREATIONDATE1", "ZCREATIONDATE3"}, 7), 7);
  EXPECT_FALSE(none.Has("ZDATE"));

  const ColumnLookup current(std::vector<std::string>{"Z_PK", "Z_ENT", "ZANSWERED", "zDate", "ZCREATIONDATE3",
                                                      "ZDATE"});
  EXPECT_EQ(current.Find("ZDATE", 4), 3);  // by name, whatever the old position; a second ZDATE is ignored
  EXPECT_EQ(current.Find("zanswered"), 2);
  EXPECT_EQ(current.Find("ZDURATION", 5), -1);  // a schema without the column has no such column
  EXPECT_EQ(current.FindAny({"ZCREATIONDATE1", "ZCREATIONDATE3"}, 0), 4);
  EXPECT_TRUE(current.Has("Z_ENT"));
  EXPECT_EQ(current.ColumnCount(), 6);
}

}  // namespace
}  // namespace orbanix
