// The signal files the explanation and advisory engines read, in reading
// order: one per source family, as the signal engine writes them.
#pragma once

#include <array>
#include <filesystem>
#include <string_view>

#include "common/json_reader.hpp"
#include "common/json_value.hpp"

namespace varnel::workspace {

struct SignalFile {
  std::string_view family;
  std::string_view file_name;
};

inline constexpr std::array<SignalFile, 10> kSignalFiles{{
    {"git", "git_signals.json"},
    {"ci", "ci_signals.json"},
    {"testing", "testing_signals.json"},
    {"coverage", "coverage_signals.json"},
    {"dependency", "dependency_signals.json"},
    {"schema", "schema_signals.json"},
    {"deployment", "deployment_signals.json"},
    {"config", "config_signals.json"},
    {"security", "security_signals.json"},
    {"error_tracking", "error_tracking_signals.json"},
}};

// Every signal record of the signal files in `phase2_path`, files in table
// order (absent ones skipped), records in file order, as parsed (only the
// fields `keep` names, when given). A file that is not a JSON array fails
// with TypeMismatchError.
json::Array load_signal_files(const std::filesystem::path& phase2_path, const json::Projection* keep = nullptr);

}  // namespace varnel::workspace
