// Language settings and the texts of the user interface.
//
// config.ini (program folder):
//   [DefaultLanguage]  Default=<language>    current language, "English" when absent
//   [Languages]        <name>=<label> ...    the language list, in file order
// Languages/<language>.ini: one section per page or window ("MainWnd",
// "PageItunesBackup", ...) mapping control names to texts, and the section
// "Messages" mapping MSGnnnn keys to message texts. Each line is split at its
// first "="; a line without "=" is both key and text; a key seen twice keeps
// its first text.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/status.h"

namespace orbanix {

// An INI file read whole: section name -> ordered lines (key, text).
struct IniFile {
  std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> sections;

  static bool Read(const std::filesystem::path& path, IniFile& out);
  const std::vector<std::pair<std::string, std::string>>* Section(const std::string& name) const;
  // First value of the key in the section, or nullptr.
  const std::string* Value(const std::string& section, const std::string& key) const;
};

class LanguageSettings {
 public:
  // Settings whose files live in `programFolder` (config.ini, Languages/).
  explicit LanguageSettings(std::filesystem::path programFolder);

  // The process-wide settings of the running program (program folder of the
  // executable), loaded on first use.
  static LanguageSettings& Instance();

  // Reads the current language and the language list, then the texts.
  void Load();
  // Writes `name` as the current language into config.ini, then loads again.
  Status Set(const std::string& name);

  // The text of a control or a message; empty when there is none.
  std::string Text(const std::string& section, const std::string& key) const;
  std::string Message(const std::string& key) const { return Text("Messages", key); }
  bool HasText(const std::string& section, const std::string& key) const;

  const std::string& CurrentLanguage() const { return current_; }
  const std::vector<std::pair<std::string, std::string>>& Languages() const { return languages_; }
  std::filesystem::path ConfigFile() const { return folder_ / "config.ini"; }
  std::filesystem::path LanguagesFolder() const { return folder_ / "Languages"; }

 private:
  std::filesystem::path folder_;
  std::string current_ = "English";
  std::vector<std::pair<std::string, std::string>> languages_;
  std::map<std::string, std::map<std::string, std::string>> texts_;
};

}  // namespace orbanix
