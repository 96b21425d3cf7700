// Change records: one per significant signal, with its baseline, its
// explanation and the commit behind its event; the strongest per family and
// metric; grouped by the event that triggered them; and told whether the
// metric's latest value is still unusual.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "advstage/inputs.hpp"
#include "common/json_value.hpp"

namespace varnel::advstage {

// The change record of a significant signal. `events` may be null (no
// event context: no commit, time or files).
json::Value format_change(const json::Value& signal, const ExplanationIndex& explanations, const EventMap* events);

// The strongest change of each family and metric (a stronger later one
// takes the earlier one's place), ordered by size of deviation, descending.
json::Array keep_strongest(json::Array changes);

// Event groups: the changes of each trigger event, strongest first, the
// groups ordered by their strongest change; then each change without an
// event as a group of its own.
json::Array group_by_trigger_event(const json::Array& changes);

// The signals of the family and metric of each change, in signal order.
class SignalsByMetric {
 public:
  SignalsByMetric(const json::Array& signals, const json::Array& changes);
  // The signals of the change's family and metric.
  const std::vector<const json::Value*>* find(const json::Value& change) const;

 private:
  struct Group {
    json::Value family;
    json::Value metric;
    std::vector<const json::Value*> signals;
  };
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };

  // The number of the group of a family and metric, if there is one.
  std::optional<std::size_t> group_of(const json::Value& family, const json::Value& metric) const;

  std::vector<Group> groups_;
  // Groups by metric, for metrics that are text; the others in one list.
  std::unordered_map<std::string, std::vector<std::size_t>, TextHash, std::equal_to<>> by_metric_;
  std::vector<std::size_t> other_metrics_;
};

// The fields latest_deviation, latest_value, latest_event_ref and
// is_latest_event for `change`, from the signal of its family and metric
// whose event is latest; nullopt when there is none with a measure.
std::optional<json::Object> latest_deviation_fields(const json::Value& change, const SignalsByMetric& signals,
                                                    const EventMap& events);

// Sets the latest-deviation fields on every change that has them.
void enrich_with_latest_deviation(json::Array& changes, const json::Array& signals, const EventMap& events);

}  // namespace varnel::advstage
