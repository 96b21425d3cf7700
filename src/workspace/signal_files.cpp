// Reading the signal files of a workspace.
#include "workspace/signal_files.hpp"

#include <cerrno>
#include <optional>
#include <string>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "vocab/tables.hpp"
#include "workspace/optional_file.hpp"

namespace varnel::workspace {

json::Array load_signal_files(const std::filesystem::path& phase2_path, const json::Projection* keep) {
  json::Array signals;
  for (const vocab::SignalFile& file : vocab::kSignalFiles) {
    const std::filesystem::path path = phase2_path / file.file_name;
    // A family that never wrote its file has no signals.
    std::optional<json::Value> parsed = read_if_present(path, keep);
    if (!parsed) continue;
    // A file that is not a list of records is damaged; reading on would
    // silently skip or mangle its content.
    if (!parsed->is_array()) {
      throw TypeMismatchError(path.string() + ": a signal file must hold a JSON array, not " +
                              json::kind_name(parsed->kind()));
    }
    for (json::Value& signal : parsed->as_array()) signals.push_back(std::move(signal));
  }
  return signals;
}

std::size_t count_signal_files(const std::filesystem::path& phase2_path) {
  static const json::Projection kNothing{};  // a record reads as an empty object, checked all the same
  static const json::Projection kRecords{{}, &kNothing};
  return load_signal_files(phase2_path, &kRecords).size();
}

void for_each_signal(const std::filesystem::path& phase2_path, const std::function<void(json::Value&&)>& each) {
  for (const vocab::SignalFile& file : vocab::kSignalFiles) {
    const std::filesystem::path path = phase2_path / file.file_name;
    std::string text;
    try {
      text = files::read_text(path);
    } catch (const OsError& e) {
      if (e.code == ENOENT || e.code == ENOTDIR) continue;  // as read_if_present
      throw;
    }
    json::ReadOptions options;
    options.source = path.string();
    if (!json::parse_elements(text, options, each)) {
      throw TypeMismatchError(path.string() + ": a signal file must hold a JSON array");
    }
  }
}

}  // namespace varnel::workspace
