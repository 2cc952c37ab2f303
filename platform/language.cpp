#include "platform/language.h"

#include <fstream>
#include <sstream>

#include "platform/folders.h"
#include "platform/text.h"

namespace orbanix {

namespace fs = std::filesystem;

namespace {
constexpr size_t kMaxLanguageName = 63;
constexpr std::uintmax_t kMaxIniBytes = 4 * 1024 * 1024;
}  // namespace

bool IniFile::Read(const fs::path& path, IniFile& out) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (ec || size > kMaxIniBytes) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.sections.clear();
  std::string line;
  bool first = true;
  while (std::getline(in, line)) {
    if (first) {  // a UTF-8 byte-order mark is not part of the first line
      if (line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
      first = false;
    }
    std::string_view view = TrimBlanks(line);
    if (view.empty() || view.front() == ';') continue;
    if (view.front() == '[' && view.back() == ']') {
      out.sections.push_back({std::string(TrimBlanks(view.substr(1, view.size() - 2))), {}});
      continue;
    }
    if (out.sections.empty()) continue;  // lines before the first section belong nowhere
    const size_t eq = view.find('=');
    std::string key, text;
    if (eq == std::string_view::npos) {
      key = text = std::string(view);
    } else {
      key = std::string(TrimBlanks(view.substr(0, eq)));
      text = std::string(TrimBlanks(view.substr(eq + 1)));
    }
    out.sections.back().second.emplace_back(std::move(key), std::move(text));
  }
  return true;
}

const std::vector<std::pair<std::string, std::string>>* IniFile::Section(const std::string& name) const {
  for (const auto& s : sections) {
    if (EqualsIgnoreAsciiCase(s.first, name)) return &s.second;
  }
  return nullptr;
}

const std::string* IniFile::Value(const std::string& section, const std::string& key) const {
  const auto* lines = Section(section);
  if (!lines) return nullptr;
  for (const auto& kv : *lines) {
    if (EqualsIgnoreAsciiCase(kv.first, key)) return &kv.second;
  }
  return nullptr;
}

LanguageSettings::LanguageSettings(fs::path programFolder) : folder_(std::move(programFolder)) {}

LanguageSettings& LanguageSettings::Instance() {
  static LanguageSettings settings = [] {
    LanguageSettings s(ProgramDataFolder());
    s.Load();
    return s;
  }();
  return settings;
}

void LanguageSettings::Load() {
  IniFile config;
  current_ = "English";
  languages_.clear();
  if (IniFile::Read(ConfigFile(), config)) {
    if (const std::string* v = config.Value("DefaultLanguage", "Default"); v && !v->empty()) {
      current_ = v->substr(0, kMaxLanguageName);
    }
    if (const auto* list = config.Section("Languages")) languages_ = *list;
  }
  texts_.clear();
  IniFile language;
  if (!IniFile::Read(LanguagesFolder() / (current_ + ".ini"), language)) return;
  for (const auto& [section, lines] : language.sections) {
    auto& map = texts_[section];
    for (const auto& [key, text] : lines) map.emplace(key, text);  // first key wins
  }
}

Status LanguageSettings::Set(const std::string& name) {
  // Rewrite config.ini keeping every other section and line as it was.
  IniFile config;
  IniFile::Read(ConfigFile(), config);
  bool written = false;
  for (auto& [section, lines] : config.sections) {
    if (!EqualsIgnoreAsciiCase(section, "DefaultLanguage")) continue;
    for (auto& kv : lines) {
      if (EqualsIgnoreAsciiCase(kv.first, "Default")) {
        kv.second = name;
        written = true;
        break;
      }
    }
    if (!written) {
      lines.insert(lines.begin(), {"Default", name});
      written = true;
    }
  }
  if (!written) config.sections.insert(config.sections.begin(), {"DefaultLanguage", {{"Default", name}}});
  std::ostringstream text;
  for (const auto& [section, lines] : config.sections) {
    text << '[' << section << "]\n";
    for (const auto& [key, value] : lines) text << key << '=' << value << '\n';
  }
  const fs::path target = ConfigFile();
  const fs::path temp = target.string() + ".new";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return errno ? errno : status::kBadData;
    out << text.str();
    if (!out.flush()) return errno ? errno : status::kBadData;
  }
  std::error_code ec;
  fs::rename(temp, target, ec);
  if (ec) return ec.value();
  Load();
  return status::kOk;
}

std::string LanguageSettings::Text(const std::string& section, const std::string& key) const {
  auto s = texts_.find(section);
  if (s == texts_.end()) return {};
  auto t = s->second.find(key);
  return t == s->second.end() ? std::string() : t->second;
}

bool LanguageSettings::HasText(const std::string& section, const std::string& key) const {
  auto s = texts_.find(section);
  return s != texts_.end() && s->second.count(key) != 0;
}

}  // namespace orbanix
