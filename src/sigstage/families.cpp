// The metric formulas of the nine generically judged families.
#include "sigstage/families.hpp"

#include "common/errors.hpp"
#include "common/json_logic.hpp"
#include "sigstage/payload_reader.hpp"

namespace varnel::sig {

namespace {

const Num kZero = Num::integer(0);
const Num kZeroReal = Num::real(0.0);

// Appends metric number `id` of the family's name list.
void put(Metrics& m, std::size_t id, MetricValue v) { m.items.push_back({static_cast<std::uint16_t>(id), std::move(v)}); }

MetricValue flag(bool on) { return MetricValue::of(Num::real(on ? 1.0 : 0.0)); }

MetricValue quotient(const Num& a, const Num& b) { return MetricValue::of_real(divide(a, b)); }

Metrics ci(const json::Value& e, const std::string& file) {
  const PayloadReader p(e, file);
  Metrics m;
  put(m, 0, p.copied({"timing", "duration_seconds"}, kZeroReal));
  // `status` is consulted only when `conclusion` is absent.
  const json::Value* conclusion = p.find({"conclusion"});
  if (conclusion == nullptr) conclusion = p.find({"status"});
  put(m, 1, flag(conclusion != nullptr && conclusion->is_string() && conclusion->as_string() == "failure"));
  return m;
}

Metrics testing(const json::Value& e, const std::string& file) {
  const PayloadReader p(e, file);
  Metrics m;
  put(m, 0, p.copied({"summary", "total"}, kZero));
  const Num total = at_least_one(p.operand({"summary", "total"}, kZero));
  put(m, 1, quotient(p.operand({"summary", "failed"}, kZero), total));
  put(m, 2, quotient(p.operand({"summary", "skipped"}, kZero), total));
  put(m, 3, p.copied({"execution", "duration_seconds"}, kZeroReal));
  return m;
}

Metrics coverage(const json::Value& e, const std::string& file) {
  const PayloadReader p(e, file);
  Metrics m;
  put(m, 0, p.copied({"line_rate"}, kZeroReal));
  put(m, 1, p.copied({"branch_rate"}, kZeroReal));
  return m;
}

Metrics dependency(const json::Value& e, const std::string& file) {
  const PayloadReader p(e, file);
  Metrics m;
  put(m, 0, p.copied({"snapshot", "total_count"}, kZero));
  const json::Value* ecosystem = p.find({"ecosystem"});
  if (ecosystem != nullptr && ecosystem->is_string()) {
    const std::string& eco = ecosystem->as_string();
    if (eco == "npm" || eco == "go" || eco == "cargo" || eco == "bundler") {
      put(m, 1, p.copied({"snapshot", "max_depth"}, Num::integer(1)));
    }
  }
  return m;
}

Metrics schema(const json::Value& e, const std::string& file) {
  const PayloadReader p(e, file);
  Metrics m;
  put(m, 0, p.copied({"structure", "endpoint_count"}, kZero));
  put(m, 1, p.copied({"structure", "type_count"}, kZero));
  put(m, 2, p.copied({"structure", "field_count"}, kZero));
  Num churn = p.operand({"diff", "endpoints_added"}, kZero);
  for (std::string_view part : {"endpoints_removed", "fields_added", "fields_removed", "types_added", "types_removed"}) {
    churn = churn + p.operand({"diff", part}, kZero);
  }
  put(m, 3, quotient(churn, at_least_one(p.operand({"structure", "endpoint_count"}, kZero))));
  return m;
}

Metrics deployment(const json::Value& e, const std::string& file) {
  const PayloadReader p(e, file);
  Metrics m;
  put(m, 0, flag(p.truthy({"is_prerelease"})));
  put(m, 1, p.copied({"asset_count"}, kZero));
  const json::Value* cadence = p.find({"timing", "since_previous_seconds"});
  if (cadence != nullptr && !cadence->is_null()) {
    put(m, 2, quotient(p.operand({"timing", "since_previous_seconds"}, kZero), Num::real(3600.0)));
  }
  return m;
}

Metrics config(const json::Value& e, const std::string& file) {
  const PayloadReader p(e, file);
  Metrics m;
  put(m, 0, p.copied({"structure", "resource_count"}, kZero));
  put(m, 1, p.copied({"structure", "resource_types"}, kZero));
  Num churn = p.operand({"diff", "resources_added"}, kZero);
  churn = churn + p.operand({"diff", "resources_removed"}, kZero);
  churn = churn + p.operand({"diff", "resources_modified"}, kZero);
  put(m, 2, churn.is_int() ? MetricValue::of(churn) : MetricValue::of_real(churn.real_value()));
  return m;
}

Metrics security(const json::Value& e, const std::string& file) {
  const PayloadReader p(e, file);
  Metrics m;
  put(m, 0, p.copied({"summary", "total"}, kZero));
  put(m, 1, p.copied({"summary", "critical"}, kZero));
  std::int64_t fixable = 0;
  if (const json::Array* findings = p.list({"findings"})) {
    for (const json::Value& f : *findings) {
      if (!f.is_object()) {
        throw TypeMismatchError(file + ": payload.findings must hold objects, not " + json::kind_name(f.kind()));
      }
      const json::Value* fixed = f.as_object().find("fixed_version");
      fixable += fixed != nullptr && json::truthy(*fixed);
    }
  }
  put(m, 2, quotient(Num::integer(fixable), at_least_one(p.operand({"summary", "total"}, kZero))));
  return m;
}

Metrics error_tracking(const json::Value& e, const std::string& file) {
  const PayloadReader p(e, file);
  Metrics m;
  put(m, 0, p.copied({"stats", "event_count"}, kZero));
  put(m, 1, p.copied({"stats", "user_count"}, kZero));
  put(m, 2, flag(p.truthy({"is_unhandled"})));
  return m;
}

}  // namespace

const std::array<Family, kFamilyCount>& families() {
  static const std::array<Family, kFamilyCount> table{{
      {"git", "git", "git_signals.json",
       {"files_touched", "dispersion", "change_locality", "cochange_novelty_ratio"}, nullptr},
      {"ci", "github_actions", "ci_signals.json", {"run_duration", "run_failed"}, ci},
      {"testing", "junit_xml", "testing_signals.json",
       {"total_tests", "failure_rate", "skip_rate", "suite_duration"}, testing},
      {"coverage", "coverage_xml", "coverage_signals.json", {"line_rate", "branch_rate"}, coverage},
      {"dependency", "pip", "dependency_signals.json", {"dependency_count", "max_depth"}, dependency},
      {"schema", "openapi", "schema_signals.json", {"endpoint_count", "type_count", "field_count", "schema_churn"}, schema},
      {"deployment", "github_releases", "deployment_signals.json",
       {"is_prerelease", "asset_count", "release_cadence_hours"}, deployment},
      {"config", "terraform", "config_signals.json", {"resource_count", "resource_type_count", "config_churn"}, config},
      {"security", "trivy", "security_signals.json", {"vulnerability_count", "critical_count", "fixable_ratio"}, security},
      {"error_tracking", "sentry", "error_tracking_signals.json", {"event_count", "user_count", "is_unhandled"},
       error_tracking},
  }};
  return table;
}

}  // namespace varnel::sig
