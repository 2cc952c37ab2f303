// Names taken from backups become file names only after sanitising; output
// paths are made unique and checked against the chosen folder.
#include <gtest/gtest.h>

#include <fstream>

#include "export/names.h"
#include "tests/export/temp_folder.h"

namespace orbanix {
namespace {

TEST(SanitizeName, PathSeparatorsAndClimbingCannotLeaveTheFolder) {
  for (const char* hostile : {"../../x", "a/b", "..\\..\\x", "/etc/passwd", "..", ".", "...", "a/../../b"}) {
    const std::string name = SanitizeName(hostile);
    SCOPED_TRACE(hostile);
    EXPECT_EQ(name.find('/'), std::string::npos);
    EXPECT_EQ(name.find('\\'), std::string::npos);
    EXPECT_EQ(name.find(".."), std::string::npos);
    EXPECT_NE(name, ".");
    EXPECT_FALSE(name.empty());
    const fs::path root = "/out/Message";
    EXPECT_TRUE(IsInsideFolder(root, root / name));
    EXPECT_EQ((root / name).parent_path(), root);
  }
  EXPECT_EQ(SanitizeName("a/b"), "a_b");
  EXPECT_EQ(SanitizeName("../../x"), "____x");
}

TEST(SanitizeName, ControlAndRefusedCharactersTrimAndEmpty) {
  EXPECT_EQ(SanitizeName("An\tna\r\n"), "An_na__");
  EXPECT_EQ(SanitizeName("a<b>c:d\"e|f?g*h"), "a_b_c_d_e_f_g_h");
  EXPECT_EQ(SanitizeName("  .Anna. "), "Anna");
  EXPECT_EQ(SanitizeName(""), "Unknown");
  EXPECT_EQ(SanitizeName(" . . "), "Unknown");
  EXPECT_EQ(SanitizeName("\xFF\xFE"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // invalid bytes become U+FFFD
  EXPECT_EQ(SanitizeName("gpj\xE2\x80\xAE.exe"), "gpj_.exe");     // direction override
  EXPECT_EQ(SanitizeName("con"), "_con");
  EXPECT_EQ(SanitizeName("COM1.txt"), "_COM1.txt");
  EXPECT_EQ(SanitizeName("Zoë (Mum) +44 20"), "Zoë (Mum) +44 20");  // ordinary names are kept
}

TEST(SanitizeName, LengthIsCappedOnACodePointAndKeepsTheExtension) {
  std::string longName;
  for (int i = 0; i < 150; ++i) longName += "é";  // 300 bytes
  const std::string cut = SanitizeName(longName);
  EXPECT_LE(cut.size(), kMaxNameBytes);
  EXPECT_EQ(cut.size() % 2, 0u);  // no half character
  const std::string file = SanitizeName(longName + ".jpg", true);
  EXPECT_LE(file.size(), kMaxNameBytes);
  EXPECT_TRUE(file.ends_with(".jpg"));
  // "-" + stamp + "(99999)" + ".html" still fits a 255-byte file name.
  EXPECT_LE(cut.size() + 1 + 14 + 7 + 5, 255u);
}

TEST(UniqueOutputPath, ThreePhotosOfOneName) {
  TempFolder dir;
  std::vector<std::string> names;
  for (int i = 0; i < 3; ++i) {
    fs::path unique;
    ASSERT_EQ(UniqueOutputPath(dir.path() / "IMG_0001.JPG", unique), 0);
    std::ofstream(unique) << "x";
    names.push_back(unique.filename().string());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"IMG_0001.JPG", "IMG_0001(1).JPG", "IMG_0001(2).JPG"}));
  fs::path unique;
  ASSERT_EQ(UniqueOutputPath(dir.path() / "Anna", unique), 0);
  EXPECT_EQ(unique.filename(), "Anna");
  std::ofstream(unique) << "x";
  ASSERT_EQ(UniqueOutputPath(dir.path() / "Anna", unique), 0);
  EXPECT_EQ(unique.filename(), "Anna(1)");
}

TEST(UniqueOutputPath, ADanglingLinkCountsAsTaken) {
  TempFolder dir;
  fs::create_symlink("/nonexistent/elsewhere", dir.path() / "a.txt");
  fs::path unique;
  ASSERT_EQ(UniqueOutputPath(dir.path() / "a.txt", unique), 0);
  EXPECT_EQ(unique.filename(), "a(1).txt");
}

TEST(IsInsideFolder, LexicalContainment) {
  EXPECT_TRUE(IsInsideFolder("/out", "/out/a/b.txt"));
  EXPECT_TRUE(IsInsideFolder("/out/", "/out/a"));
  EXPECT_FALSE(IsInsideFolder("/out", "/out"));
  EXPECT_FALSE(IsInsideFolder("/out", "/out/."));
  EXPECT_FALSE(IsInsideFolder("/out", "/out/../x"));
  EXPECT_FALSE(IsInsideFolder("/out", "/outside/x"));
  EXPECT_FALSE(IsInsideFolder("/out", "/out/a/../../x"));
}

TEST(Labels, ConversationAndPartyRules) {
  EXPECT_EQ(ExportStamp(1418000000), "20141208005320");  // TZ=UTC in tests
  EXPECT_EQ(MessageFolderName(""), "Unknown");
  EXPECT_EQ(MessageConversationLabel("Anna", "A"), "Anna(A)");
  EXPECT_EQ(MessageConversationLabel("", ""), "Unknown");
  EXPECT_EQ(MessageConversationLabel("", "+1555"), "Unknown(+1555)");
  EXPECT_EQ(WhatsAppConversationLabel("Bob", "+4912", "Bob"), "Bob(+4912)");
  EXPECT_EQ(WhatsAppConversationLabel("", "+4912", "x"), "+4912");
  EXPECT_EQ(WhatsAppConversationLabel("Bob, Ann", "+4912", "Family"), "Family");
  EXPECT_EQ(WhatsAppConversationLabel("", "", ""), "Unknown");
  // The "Unknown" contact is labelled with its address alone.
  EXPECT_EQ(PartyLabel("Unknown", "+1555"), "+1555");
  EXPECT_EQ(PartyLabel("", "+1555"), "+1555");
  EXPECT_EQ(PartyLabel("Anna", "A"), "Anna(A)");
  EXPECT_EQ(PartyName("Anna", "A"), "Anna");
  EXPECT_EQ(PartyName("Unknown", "A"), "A");
}

}  // namespace
}  // namespace orbanix
