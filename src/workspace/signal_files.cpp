// Reading the signal files of a workspace.
#include "workspace/signal_files.hpp"

#include <optional>
#include <string>

#include "common/errors.hpp"
#include "vocab/tables.hpp"
#include "workspace/optional_file.hpp"

namespace varnel::workspace {

namespace {

// A file that is not a list of records is damaged; reading on would
// silently skip or mangle its content.
TypeMismatchError not_a_list(const std::filesystem::path& path, const json::Value& parsed) {
  return TypeMismatchError(path.string() + ": a signal file must hold a JSON array, not " +
                           json::kind_name(parsed.kind()));
}

}  // namespace

json::Array load_signal_files(const std::filesystem::path& phase2_path, const json::Projection* keep) {
  json::Array signals;
  for (const vocab::SignalFile& file : vocab::kSignalFiles) {
    const std::filesystem::path path = phase2_path / file.file_name;
    // A family that never wrote its file has no signals.
    std::optional<json::Value> parsed = read_if_present(path, keep);
    if (!parsed) continue;
    if (!parsed->is_array()) throw not_a_list(path, *parsed);
    for (json::Value& signal : parsed->as_array()) signals.push_back(std::move(signal));
  }
  return signals;
}

std::size_t count_signal_files(const std::filesystem::path& phase2_path) {
  static const json::Projection kNothing{};  // a record reads as an empty object, checked all the same
  static const json::Projection kRecords{{}, &kNothing};
  return load_signal_files(phase2_path, &kRecords).size();
}

void for_each_signal(const std::filesystem::path& phase2_path, const std::function<void(json::Value&&)>& each,
                     const json::Projection* keep) {
  for (const vocab::SignalFile& file : vocab::kSignalFiles) {
    const std::filesystem::path path = phase2_path / file.file_name;
    const std::optional<std::string> text = read_text_if_present(path);
    if (!text) continue;  // a family that never wrote its file has no signals
    json::ReadOptions options;
    options.source = path.string();
    options.projection = keep;
    if (!json::parse_elements(*text, options, each)) {
      static const json::Projection kNothing{};
      options.projection = &kNothing;
      throw not_a_list(path, json::parse(*text, options));
    }
  }
}

}  // namespace varnel::workspace
