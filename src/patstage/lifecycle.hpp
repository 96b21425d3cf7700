// A pattern's life in the knowledge base after discovery: finding a batch's
// fingerprint among knowledge and patterns, promoting a pattern that recurs
// often enough to knowledge, and expiring patterns no longer seen.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/json_value.hpp"
#include "lorekeep/knowledge_store_base.hpp"
#include "patstage/params.hpp"

namespace varnel::patstage {

// A record's families and metrics, each sorted: two records with equal keys
// describe the same metrics whatever their directions.
struct PatternKey {
  std::vector<std::string> sources;
  std::vector<std::string> metrics;
  friend bool operator==(const PatternKey&, const PatternKey&) = default;
};

// The key of a pattern or knowledge record (missing or null lists are
// empty; TypeMismatchError for a list that is not of texts).
PatternKey pattern_key(const json::Object& record);

// {"match": "knowledge", "artifact": ...} when the fingerprint is local
// knowledge, {"match": "pattern", ...} when it is a local pattern, else
// {"match": null}.
json::Value lookup_fingerprint(lorekeep::KnowledgeStoreBase& kb, std::string_view fingerprint);

// Whether the pattern should become knowledge now: not yet confirmed, no
// knowledge of its scope with its fingerprint or its key, and seen at least
// promotion_threshold times (times semantic_multiplier for a speculative
// one).
bool check_promotion(lorekeep::KnowledgeStoreBase& kb, const Params& params, const json::Object& pattern);

// Stores the pattern's knowledge artifact, marks the pattern confirmed and
// returns the new knowledge id. A pattern without a statistical
// description gives the empty text, which knowledge requires.
std::string promote_pattern(lorekeep::KnowledgeStoreBase& kb, const json::Object& pattern);

// Expires every pattern not seen for decay_window days, except confirmed
// ones; returns their ids in the store's order.
json::Array run_decay(lorekeep::KnowledgeStoreBase& kb, const Params& params);

}  // namespace varnel::patstage
