// Reading a JSON file that may be absent.
#include "workspace/optional_file.hpp"

#include <cerrno>

#include "common/errors.hpp"

namespace varnel::workspace {

std::optional<json::Value> read_if_present(const std::filesystem::path& path, const json::Projection* keep) {
  try {
    return json::read_file(path, keep);
  } catch (const OsError& e) {
    if (e.code == ENOENT || e.code == ENOTDIR) return std::nullopt;
    throw;
  }
}

}  // namespace varnel::workspace
