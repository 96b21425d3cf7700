// The candidate pattern record that both discoveries produce: 19 fields in a
// fixed order, the twelfth being the lift of a co-occurrence or the effect
// size of a presence pattern.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/json_value.hpp"

namespace varnel::patstage {

struct CandidateFacts {
  std::string fingerprint;
  std::string_view alignment;       // "commit_sha", "temporal" or "presence"
  std::string sources[2];           // the two families
  std::string metrics[2];           // the two metric names
  std::string description;
  json::Value correlation_strength;
  json::Value raw_correlation;
  json::Value confidence_weight;
  std::string_view measure_key;     // "lift" or "effect_size"
  json::Value measure;
  std::string_view accepted_via;
  std::int64_t occurrence_count;
  json::Array signal_refs;
};

// The record, with sources and metrics sorted and first_seen and last_seen
// read from the clock one after the other.
json::Value candidate_record(CandidateFacts facts);

}  // namespace varnel::patstage
