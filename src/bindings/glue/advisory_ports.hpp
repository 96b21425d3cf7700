// The advisory engine's ports served by the host's modules: varnel.friendly
// for phrases, an AcceptedDeviations object of varnel.accepted, and
// varnel.history for comparing advisories. Every call takes the GIL for
// itself, so the engine may run without it; an exception raised by a module
// propagates as nb::python_error.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "advstage/ports.hpp"
#include "bindings/glue/friendly_port.hpp"
#include "bindings/glue/nb.hpp"

namespace varnel::bindings {

class AdvisoryFriendlyPort final : public advstage::AdvisoryLanguage {
 public:
  // Binds relative_change, metric_insight, risk_level, friendly_pattern and
  // pattern_risk_assessment of varnel.friendly; raises the host's error when
  // one cannot be bound. advisory_status is looked up at each advisory, so a
  // host may change it between runs. Call with the GIL held.
  AdvisoryFriendlyPort();

  std::string relative_change(const json::Value& current, const json::Value& baseline) override;
  std::optional<std::string> metric_insight(const json::Value& metric, std::string_view direction) override;
  std::string risk_text(const json::Value& deviation, std::string_view field) override;
  std::string friendly_pattern(const json::Value& match) override;
  std::optional<std::string> pattern_severity(const json::Value& match) override;
  json::Value advisory_status(const json::Value& advisory) override;

 private:
  FriendlyPort phrases_;
  // Strong references kept for the life of the process.
  PyObject* risk_level_;
  PyObject* friendly_pattern_;
  PyObject* pattern_risk_assessment_;
};

// An AcceptedDeviations object of the host.
class PythonAcceptedDeviations final : public advstage::AcceptedDeviations {
 public:
  explicit PythonAcceptedDeviations(nb::object store) : store_(std::move(store)) {}

  // The host's object (GIL held).
  const nb::object& object() const { return store_; }

  // Calls cleanup_expired(current_advisory_id="").
  void cleanup_expired() override;
  // Calls is_accepted_in_context(family, metric, commit_sha=, event_date=,
  // commit_list=) once per change, passing one list object to every call.
  std::vector<bool> accepted(const json::Array& changes, const json::Array& commit_list) override;

 private:
  nb::object store_;
};

// varnel.history's diff_advisories, looked up at each call, with the
// threshold below which a change had gone back to normal when one is given
// (the module's own default otherwise).
class PythonAdvisoryHistory final : public advstage::AdvisoryHistory {
 public:
  explicit PythonAdvisoryHistory(std::optional<double> threshold) : threshold_(threshold) {}

  json::Value diff_advisories(const json::Value& before, const json::Value& after) override;

 private:
  std::optional<double> threshold_;
};

}  // namespace varnel::bindings
