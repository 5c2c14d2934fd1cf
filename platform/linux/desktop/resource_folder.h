// The application's resources on Linux: a folder holding the resource files (scripts among them)
// and, under locale/, one JSON file of string tables per language:
//
//   locale/de.json: {"Localizable": {"Kind tips": "Hinweis", ...}, "KwAppleScript": {...}}
//
// Languages come from LANGUAGE, LC_ALL, LC_MESSAGES and LANG ("de_DE.UTF-8" tries de_DE, then de).
// Tables are read on first use and kept; safe from any thread.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/io/environment.h"
#include "tools/resource_bundle.h"

namespace trellis::lnx {

class ResourceFolder final : public ResourceBundle {
 public:
  // `languages` in order of preference, e.g. {"de_DE", "de"}.
  ResourceFolder(std::string root, std::vector<std::string> languages);

  std::string localizedString(std::string_view key, std::string_view table) override;
  std::optional<std::string> pathForResource(std::string_view name) override;

  const std::string& root() const { return root_; }

  // The languages the environment asks for, most preferred first; none for "C" and "POSIX".
  static std::vector<std::string> preferredLanguages(const EnvironmentLookup& environment);
  // Where the resources are: $TRELLIS_RESOURCES, else ../share/trellis beside the executable's
  // folder (an installed program), else share in that folder (the build tree's link).
  static std::string defaultRoot(const EnvironmentLookup& environment);

 private:
  using Tables = std::map<std::string, std::map<std::string, std::string, std::less<>>, std::less<>>;
  void loadOnce();

  std::string root_;
  std::vector<std::string> languages_;
  std::once_flag loaded_;
  std::vector<Tables> tables_;  // one per language file found, in order of preference
};

}  // namespace trellis::lnx
