// The signal files the explanation engine reads, in reading order: one per
// source family, as the signal engine writes them.
#pragma once

#include <array>
#include <string_view>

namespace varnel::explstage {

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

}  // namespace varnel::explstage
