// The application's resources: translated texts and resource files by name. The platform folder
// supplies the real bundle (a resources folder); tests install their own. Safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace trellis {

// The string table that texts are looked up in when no other is named.
inline constexpr std::string_view kDefaultStringTable = "Localizable";

class ResourceBundle {
 public:
  virtual ~ResourceBundle() = default;

  // The translation of `key` in the string table `table` for the user's language, or `key`
  // itself when there is none.
  virtual std::string localizedString(std::string_view key, std::string_view table) = 0;
  // Where the resource file called `name` is, or nothing when the bundle has no such file. Only
  // plain file names are looked up: a name with "/" or ".." has no resource.
  virtual std::optional<std::string> pathForResource(std::string_view name) = 0;

  // The one the process uses (base/services.h).
  static ResourceBundle& main();
};


}  // namespace trellis
