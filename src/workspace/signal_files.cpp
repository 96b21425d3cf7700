// Reading the signal files of a workspace.
#include "workspace/signal_files.hpp"

#include <optional>
#include <string>

#include "common/errors.hpp"
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

}  // namespace varnel::workspace
