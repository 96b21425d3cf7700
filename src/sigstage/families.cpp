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

// Each judged family's formula. The vocabulary names the metrics a formula
// numbers: a formula's metric n is the family's n-th metric there.
struct FormulaOf {
  std::string_view family;
  MetricFormula formula;
};

constexpr FormulaOf kFormulas[] = {
    {"git", nullptr},
    {"ci", ci},
    {"testing", testing},
    {"coverage", coverage},
    {"dependency", dependency},
    {"schema", schema},
    {"deployment", deployment},
    {"config", config},
    {"security", security},
    {"error_tracking", error_tracking},
};

constexpr const FormulaOf* formula_of(std::string_view family) {
  for (const FormulaOf& f : kFormulas) {
    if (f.family == family) return &f;
  }
  return nullptr;
}

constexpr bool every_family_has_its_formula() {
  for (const vocab::JudgedFamily& f : vocab::kJudgedFamilies) {
    const FormulaOf* of = formula_of(f.key);
    if (of == nullptr || (of->formula == nullptr) != (f.key == "git")) return false;
  }
  return vocab::kJudgedFamilies[0].key == "git";
}

static_assert(every_family_has_its_formula(),
              "every family the vocabulary has the signal engine judge needs its formula here, git first");

}  // namespace

const std::array<Family, kFamilyCount>& families() {
  static const std::array<Family, kFamilyCount> table = [] {
    std::array<Family, kFamilyCount> out;
    for (std::size_t i = 0; i < kFamilyCount; ++i) {
      const vocab::JudgedFamily& f = vocab::kJudgedFamilies[i];
      out[i] = Family{f.key, f.source_type, f.signal_file, {f.metrics.begin(), f.metrics.end()},
                      formula_of(f.key)->formula};
    }
    return out;
  }();
  return table;
}

}  // namespace varnel::sig
