#include "converter_settings.h"

#include <filesystem>
#include <system_error>

namespace kelvra {

std::optional<std::string> ResolveFullPath(const std::string& path) {
  if (path.empty()) return std::nullopt;
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) return std::nullopt;
  // "." and ".." are folded away as the console's own path resolution does;
  // symbolic links are left alone and the file need not exist.
  return absolute.lexically_normal().string();
}

}  // namespace kelvra
