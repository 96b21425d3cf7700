// Building candidate records.
#include "patstage/candidate.hpp"

#include <utility>

#include "common/clock.hpp"

namespace varnel::patstage {

namespace {

json::Array sorted_pair(std::string (&pair)[2]) {
  if (pair[1] < pair[0]) std::swap(pair[0], pair[1]);
  return json::Array{std::move(pair[0]), std::move(pair[1])};
}

}  // namespace

json::Value candidate_record(CandidateFacts f) {
  json::Object r;
  r.reserve(19);
  r.append("fingerprint", std::move(f.fingerprint));
  r.append("scope", "local");
  r.append("discovery_method", "statistical");
  r.append("alignment", f.alignment);
  r.append("pattern_type", "co_occurrence");
  r.append("sources", sorted_pair(f.sources));
  r.append("metrics", sorted_pair(f.metrics));
  r.append("description_statistical", std::move(f.description));
  r.append("correlation_strength", std::move(f.correlation_strength));
  r.append("raw_correlation", std::move(f.raw_correlation));
  r.append("confidence_weight", std::move(f.confidence_weight));
  r.append(std::string(f.measure_key), std::move(f.measure));
  r.append("accepted_via", f.accepted_via);
  r.append("occurrence_count", f.occurrence_count);
  r.append("signal_refs", std::move(f.signal_refs));
  r.append("first_seen", utc_timestamp());
  r.append("last_seen", utc_timestamp());
  r.append("confidence_tier", "statistical");
  r.append("confidence_status", "emerging");
  return json::Value(std::move(r));
}

}  // namespace varnel::patstage
