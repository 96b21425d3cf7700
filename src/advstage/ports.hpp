// The outside modules the advisory engine consults, as ports: the everyday
// phrases of the plain-language helper, the team's accepted deviations and
// the comparison of two advisories. The binding layer serves each by calling
// the host's module, so a host can replace any of them without touching C++.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_value.hpp"
#include "vocab/plain_language.hpp"

namespace varnel::advstage {

// The helper's phrases for advisories, beyond those of explanations.
class AdvisoryLanguage : public vocab::PlainLanguage {
 public:
  // Text form of the field `field` ("label" or "description") of the risk
  // record the helper gives for a deviation; fails when it lacks the field.
  virtual std::string risk_text(const json::Value& deviation, std::string_view field) = 0;

  // Text form of the helper's sentence describing a pattern or knowledge match.
  virtual std::string friendly_pattern(const json::Value& match) = 0;

  // The severity the helper assesses for a match, when it is text (any
  // other value ranks as "info"); fails when the assessment lacks it.
  virtual std::optional<std::string> pattern_severity(const json::Value& match) = 0;

  // The status the helper gives a complete advisory (every field but status).
  virtual json::Value advisory_status(const json::Value& advisory) = 0;
};

// The deviations the team has accepted as normal.
class AcceptedDeviations {
 public:
  virtual ~AcceptedDeviations() = default;

  // Drops acceptances that have expired; called once at the start of a run.
  virtual void cleanup_expired() = 0;

  // Asks, change by change and in order, whether each change of `changes`
  // (change records) is accepted given the workspace's ordered commits.
  virtual std::vector<bool> accepted(const json::Array& changes, const json::Array& commit_list) = 0;
};

// The comparison of an earlier advisory with a later one.
class AdvisoryHistory {
 public:
  virtual ~AdvisoryHistory() = default;

  // The difference record of two advisory records.
  virtual json::Value diff_advisories(const json::Value& before, const json::Value& after) = 0;
};

}  // namespace varnel::advstage
