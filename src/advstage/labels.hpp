// Display labels of source families and metrics, and the metric groups the
// reports treat alike. A family or metric without a label is shown by its
// own name.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "common/json_value.hpp"

namespace varnel::advstage {

struct Label {
  std::string_view key;
  std::string_view label;
};

inline constexpr std::array<Label, 10> kFamilyLabels{{
    {"git", "Version Control"},
    {"ci", "CI / Build"},
    {"testing", "Testing"},
    {"coverage", "Code Coverage"},
    {"dependency", "Dependencies"},
    {"schema", "API / Schema"},
    {"deployment", "Deployment"},
    {"config", "Configuration"},
    {"security", "Security"},
    {"error_tracking", "Error Tracking"},
}};

inline constexpr std::array<Label, 29> kMetricLabels{{
    {"files_touched", "Files Changed"},
    {"dispersion", "Change Dispersion"},
    {"change_locality", "Change Locality"},
    {"cochange_novelty_ratio", "Co-change Novelty"},
    {"run_duration", "Build Duration"},
    {"run_failed", "Build Failure"},
    {"total_tests", "Test Count"},
    {"skip_rate", "Skip Rate"},
    {"suite_duration", "Suite Duration"},
    {"line_rate", "Line Coverage"},
    {"branch_rate", "Branch Coverage"},
    {"dependency_count", "Total Dependencies"},
    {"max_depth", "Dependency Depth"},
    {"endpoint_count", "API Endpoints"},
    {"type_count", "API Types"},
    {"field_count", "API Fields"},
    {"schema_churn", "Schema Churn"},
    {"release_cadence_hours", "Release Cadence"},
    {"is_prerelease", "Pre-release"},
    {"asset_count", "Release Assets"},
    {"resource_count", "Resources"},
    {"resource_type_count", "Resource Types"},
    {"config_churn", "Config Churn"},
    {"vulnerability_count", "Vulnerabilities"},
    {"critical_count", "Critical Vulnerabilities"},
    {"fixable_ratio", "Fixable Ratio"},
    {"event_count", "Error Occurrences"},
    {"user_count", "Affected Users"},
    {"is_unhandled", "Unhandled Exception"},
}};

// The label of a family, or its plain text when it has none.
std::string family_label(const json::Value& family);

// The label of a metric, or its plain text when it has none.
std::string metric_label(const json::Value& metric);

// The metric under which pattern de-duplication counts `metric`: locality
// is the same movement as dispersion; every other metric is itself.
std::string_view canonical_metric(std::string_view metric);

}  // namespace varnel::advstage
