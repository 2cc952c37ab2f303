#include <gtest/gtest.h>

#include <fstream>

#include "platform/language.h"

using namespace orbanix;
namespace fs = std::filesystem;

namespace {
fs::path MakeProgramFolder(const std::string& config, const std::string& english) {
  fs::path dir = fs::temp_directory_path() / ("orbanix-lang-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "Languages");
  if (!config.empty()) std::ofstream(dir / "config.ini") << config;
  if (!english.empty()) std::ofstream(dir / "Languages" / "English.ini") << english;
  return dir;
}
}  // namespace

TEST(Language, LoadsSectionsFirstKeyWinsAndLinesWithoutEquals) {
  const fs::path dir = MakeProgramFolder(
      "[DefaultLanguage]\nDefault=English\n[Languages]\nEnglish=English\nDeutsch=Deutsch=DE\n",
      "\xEF\xBB\xBF[Messages]\nMSG0508=First text\nMSG0508=Second text\nA line without equals\n"
      "MSG0513=Selected %s in %d\n[PageScan]\nBtnStop = Stop \n");
  LanguageSettings lang(dir);
  lang.Load();
  EXPECT_EQ(lang.CurrentLanguage(), "English");
  ASSERT_EQ(lang.Languages().size(), 2u);
  EXPECT_EQ(lang.Languages()[1].first, "Deutsch");
  EXPECT_EQ(lang.Languages()[1].second, "Deutsch=DE");  // split at the first "="
  EXPECT_EQ(lang.Message("MSG0508"), "First text");
  EXPECT_EQ(lang.Message("A line without equals"), "A line without equals");
  EXPECT_EQ(lang.Text("PageScan", "BtnStop"), "Stop");
  EXPECT_EQ(lang.Text("PageScan", "Missing"), "");
  fs::remove_all(dir);
}

TEST(Language, MissingFilesGiveEnglishAndNoTexts) {
  const fs::path dir = MakeProgramFolder("", "");
  LanguageSettings lang(dir);
  lang.Load();
  EXPECT_EQ(lang.CurrentLanguage(), "English");
  EXPECT_TRUE(lang.Languages().empty());
  EXPECT_EQ(lang.Message("MSG0508"), "");
  fs::remove_all(dir);
}

TEST(Language, SetWritesTheConfigurationAndReloads) {
  const fs::path dir = MakeProgramFolder("[Languages]\nEnglish=English\nTest=Test\n", "[Messages]\nK=english\n");
  std::ofstream(dir / "Languages" / "Test.ini") << "[Messages]\nK=test\n";
  LanguageSettings lang(dir);
  lang.Load();
  EXPECT_EQ(lang.Message("K"), "english");
  ASSERT_EQ(lang.Set("Test"), 0);
  EXPECT_EQ(lang.CurrentLanguage(), "Test");
  EXPECT_EQ(lang.Message("K"), "test");
  EXPECT_EQ(lang.Languages().size(), 2u);  // the list survives the rewrite
  LanguageSettings again(dir);
  again.Load();
  EXPECT_EQ(again.CurrentLanguage(), "Test");
  fs::remove_all(dir);
}

TEST(Language, ShippedEnglishHasTheFormattedMessages) {
  // The build places Languages/ beside the executables (the working folder).
  LanguageSettings lang(fs::current_path());
  lang.Load();
  EXPECT_NE(lang.Message("MSG0513").find("%s"), std::string::npos);
  EXPECT_FALSE(lang.Message("MSG0301").empty());
}
