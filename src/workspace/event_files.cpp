// Listing the event files of a workspace.
#include "workspace/event_files.hpp"

#include <algorithm>
#include <system_error>

#include "common/errors.hpp"

namespace varnel::workspace {

std::vector<std::string> event_files_as_listed(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec);
  if (ec) {
    if (ec == std::errc::no_such_file_or_directory) return names;
    throw OsError(ec.value(), dir.string());
  }
  for (const auto& entry : it) {
    std::string name = entry.path().filename().string();
    if (name.size() >= 5 && name.compare(name.size() - 5, 5, ".json") == 0) names.push_back(std::move(name));
  }
  return names;
}

std::vector<std::string> list_event_files(const std::filesystem::path& dir) {
  std::vector<std::string> names = event_files_as_listed(dir);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace varnel::workspace
