// Reading a JSON file that may be absent.
#include "workspace/optional_file.hpp"

#include <cerrno>

#include "common/errors.hpp"
#include "common/files.hpp"

namespace varnel::workspace {

std::optional<std::string> read_text_if_present(const std::filesystem::path& path) {
  try {
    return files::read_text(path);
  } catch (const OsError& e) {
    if (e.code == ENOENT || e.code == ENOTDIR) return std::nullopt;
    throw;
  }
}

std::optional<json::Value> read_if_present(const std::filesystem::path& path, const json::Projection* keep) {
  std::optional<std::string> text = read_text_if_present(path);
  if (!text) return std::nullopt;
  json::ReadOptions options;
  options.source = path.string();
  options.projection = keep;
  return json::parse(*text, options);
}

}  // namespace varnel::workspace
