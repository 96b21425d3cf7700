// Reading the signal files of a workspace.
#include "signal_files.hpp"

#include <cerrno>
#include <optional>
#include <string>

#include "../common/errors.hpp"
#include "../common/json_reader.hpp"
#include "vocab/tables.hpp"

namespace varnel::explstage {

namespace {

// The parsed signal file, or nothing when the family never wrote one.
std::optional<json::Value> read_signal_file(const std::filesystem::path& path, const json::Projection* keep) {
  try {
    return json::read_file(path, keep);
  } catch (const OsError& e) {
    if (e.code == ENOENT || e.code == ENOTDIR) return std::nullopt;
    throw;
  }
}

}  // namespace

json::Array load_signal_files(const std::filesystem::path& phase2_path, const json::Projection* keep) {
  json::Array signals;
  for (const vocab::SignalFile& file : vocab::kSignalFiles) {
    const std::filesystem::path path = phase2_path / file.file_name;
    std::optional<json::Value> parsed = read_signal_file(path, keep);
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

}  // namespace varnel::explstage
