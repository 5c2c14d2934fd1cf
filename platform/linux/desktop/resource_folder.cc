// Resource files and JSON string tables in a folder. A table file that is not a regular file or
// cannot be read or parsed counts as missing: its keys show as themselves.
#include "platform/linux/desktop/resource_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "platform/linux/io/file_contents.h"

namespace trellis::lnx {

namespace {

bool isPlainName(std::string_view name) {
  return !name.empty() && name.find('/') == std::string_view::npos && name.find("..") == std::string_view::npos;
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void addLocale(std::string_view value, std::vector<std::string>& languages) {
  std::string_view name = value.substr(0, value.find_first_of(".@"));
  if (name.empty() || name == "C" || name == "POSIX") return;
  auto add = [&](std::string_view language) {
    for (const std::string& known : languages) {
      if (known == language) return;
    }
    languages.emplace_back(language);
  };
  add(name);
  if (size_t underscore = name.find('_'); underscore != std::string_view::npos) add(name.substr(0, underscore));
}

}  // namespace

ResourceFolder::ResourceFolder(std::string root, std::vector<std::string> languages)
    : root_(std::move(root)), languages_(std::move(languages)) {}

std::vector<std::string> ResourceFolder::preferredLanguages(const EnvironmentLookup& environment) {
  auto value = [&](std::string_view name) {
    std::optional<std::string> text = environment(name);
    return text && !text->empty() ? *text : std::string();
  };
  // The locale category decides; GNU's LANGUAGE list refines it unless the locale is "C".
  std::string locale = value("LC_ALL");
  if (locale.empty()) locale = value("LC_MESSAGES");
  if (locale.empty()) locale = value("LANG");
  std::vector<std::string> languages;
  std::string_view localeName = std::string_view(locale).substr(0, locale.find_first_of(".@"));
  if (localeName.empty() || localeName == "C" || localeName == "POSIX") return languages;
  std::string list = value("LANGUAGE");
  for (size_t start = 0; start < list.size();) {
    size_t end = std::min(list.find(':', start), list.size());
    addLocale(std::string_view(list).substr(start, end - start), languages);
    start = end + 1;
  }
  addLocale(locale, languages);
  return languages;
}

std::string ResourceFolder::defaultRoot(const EnvironmentLookup& environment) {
  if (std::optional<std::string> configured = environment("TRELLIS_RESOURCES"); configured && !configured->empty()) {
    return *configured;
  }
  char buffer[4096];
  ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  std::string folder = length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string("/usr/bin/trellis");
  folder = folder.substr(0, folder.rfind('/'));
  // Installed: PREFIX/bin/trellis reads PREFIX/share/trellis. The build tree has a link to the
  // sources' share folder beside its programs.
  std::string installed = folder + "/../share/trellis";
  return isDirectory(installed) ? installed : folder + "/share";
}

void ResourceFolder::loadOnce() {
  std::call_once(loaded_, [this] {
    for (const std::string& language : languages_) {
      if (!isPlainName(language)) continue;
      const std::optional<std::string> text =
          readWholeFile(root_ + "/locale/" + language + ".json", kNoSizeLimit, FileKind::kRegular);
      if (!text) continue;
      nlohmann::json document = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
      if (!document.is_object()) continue;
      Tables tables;
      for (const auto& [tableName, entries] : document.items()) {
        if (!entries.is_object()) continue;
        auto& table = tables[tableName];
        for (const auto& [key, translation] : entries.items()) {
          if (translation.is_string()) table[key] = translation.get<std::string>();
        }
      }
      tables_.push_back(std::move(tables));
    }
  });
}

std::string ResourceFolder::localizedString(std::string_view key, std::string_view table) {
  loadOnce();
  for (const Tables& tables : tables_) {
    auto found = tables.find(table);
    if (found == tables.end()) continue;
    auto entry = found->second.find(key);
    if (entry != found->second.end() && !entry->second.empty()) return entry->second;
  }
  return std::string(key);
}

std::optional<std::string> ResourceFolder::pathForResource(std::string_view name) {
  if (!isPlainName(name)) return std::nullopt;
  std::string path = root_ + "/" + std::string(name);
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return path;
}

}  // namespace trellis::lnx
