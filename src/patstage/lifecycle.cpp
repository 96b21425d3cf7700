// Lookup, promotion and decay through the knowledge base.
#include "patstage/lifecycle.hpp"

#include <algorithm>

#include "common/errors.hpp"
#include "common/json_logic.hpp"

namespace varnel::patstage {

namespace {

constexpr std::string_view kLocal = "local";

const std::string& text_field(const json::Object& record, std::string_view key) {
  const json::Value& v = record.at(key);
  if (!v.is_string()) {
    throw TypeMismatchError(std::string(key) + " must be text, not " + json::kind_name(v.kind()));
  }
  return v.as_string();
}

// The record's scope, "local" when absent or null.
std::string_view scope_of(const json::Object& record) {
  const json::Value* v = record.find("scope");
  if (v == nullptr || v->is_null()) return kLocal;
  return text_field(record, "scope");
}

std::vector<std::string> sorted_texts(const json::Object& record, std::string_view key) {
  std::vector<std::string> out;
  const json::Value* v = record.find(key);
  if (v == nullptr || v->is_null()) return out;
  if (!v->is_array()) throw TypeMismatchError(std::string(key) + " must be a list, not " + json::kind_name(v->kind()));
  for (const json::Value& item : v->as_array()) {
    if (!item.is_string()) {
      throw TypeMismatchError(std::string(key) + " must hold texts, not " + json::kind_name(item.kind()));
    }
    out.push_back(item.as_string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

bool is_tier(const json::Object& record, std::string_view tier) {
  const json::Value* v = record.find("confidence_tier");
  return v != nullptr && v->is_string() && v->as_string() == tier;
}

std::int64_t integer(const json::Value& v) { return v.is_bool() ? v.as_bool() : v.as_int(); }

// a * b as a host multiplies: exact for integers, a real otherwise.
json::Value product(const json::Value& a, const json::Value& b) {
  std::int64_t p = 0;
  const bool integers = (a.is_int() || a.is_bool()) && (b.is_int() || b.is_bool());
  if (integers && !__builtin_mul_overflow(integer(a), integer(b), &p)) return json::Value(p);
  return json::Value(a.to_double() * b.to_double());
}

// The records of a listing, each a map.
const json::Array& records(const json::Value& listing) {
  const bool maps = listing.is_array() && std::all_of(listing.as_array().begin(), listing.as_array().end(),
                                                      [](const json::Value& r) { return r.is_object(); });
  if (!maps) throw TypeMismatchError("the knowledge base must list records as a list of maps");
  return listing.as_array();
}

}  // namespace

PatternKey pattern_key(const json::Object& record) {
  return {sorted_texts(record, "sources"), sorted_texts(record, "metrics")};
}

json::Value lookup_fingerprint(lorekeep::KnowledgeStoreBase& kb, std::string_view fingerprint) {
  json::Object out;
  json::Value knowledge = kb.get_knowledge_by_fingerprint(fingerprint, kLocal);
  if (json::truthy(knowledge)) {
    out.append("match", "knowledge");
    out.append("artifact", std::move(knowledge));
    return out;
  }
  json::Value pattern = kb.get_pattern_by_fingerprint(fingerprint, kLocal);
  if (json::truthy(pattern)) {
    out.append("match", "pattern");
    out.append("artifact", std::move(pattern));
    return out;
  }
  out.append("match", nullptr);
  return out;
}

bool check_promotion(lorekeep::KnowledgeStoreBase& kb, const Params& params, const json::Object& pattern) {
  if (is_tier(pattern, "confirmed")) return false;
  const json::Value& count = pattern.at("occurrence_count");
  const json::Value threshold = is_tier(pattern, "speculative")
                                    ? product(params.promotion_threshold, params.semantic_multiplier)
                                    : params.promotion_threshold;
  const std::string_view scope = scope_of(pattern);
  if (json::truthy(kb.get_knowledge_by_fingerprint(text_field(pattern, "fingerprint"), scope))) return false;
  const PatternKey key = pattern_key(pattern);
  const json::Value knowledge = kb.list_knowledge(scope);
  for (const json::Value& k : records(knowledge)) {
    if (pattern_key(k.as_object()) == key) return false;
  }
  return json::compare_numbers(count, threshold, ">=") >= 0;
}

std::string promote_pattern(lorekeep::KnowledgeStoreBase& kb, const json::Object& pattern) {
  json::Object k;
  k.reserve(12);
  k.append("derived_from", pattern.at("pattern_id"));
  k.append("fingerprint", pattern.at("fingerprint"));
  k.append("scope", std::string(scope_of(pattern)));
  k.append("pattern_type", pattern.at("pattern_type"));
  k.append("sources", pattern.at("sources"));
  k.append("metrics", pattern.at("metrics"));
  const json::Value* statistical = pattern.find("description_statistical");
  // Knowledge requires the text; a pattern may have none.
  const bool described = statistical != nullptr && !statistical->is_null();
  k.append("description_statistical", described ? *statistical : json::Value(""));
  const json::Value* semantic = pattern.find("description_semantic");
  k.append("description_semantic", semantic != nullptr ? *semantic : json::Value());
  k.append("support_count", pattern.at("occurrence_count"));
  k.append("first_seen", pattern.at("first_seen"));
  k.append("last_seen", pattern.at("last_seen"));
  k.append("approval_method", "automatic");
  const std::string id = kb.create_knowledge(k);
  json::Object updates;
  updates.append("confidence_tier", "confirmed");
  updates.append("confidence_status", "sufficient");
  kb.update_pattern(text_field(pattern, "pattern_id"), updates);
  return id;
}

json::Array run_decay(lorekeep::KnowledgeStoreBase& kb, const Params& params) {
  json::Array expired;
  const json::Value decayed = kb.get_decayed_patterns(params.decay_window);
  for (const json::Value& p : records(decayed)) {
    const json::Object& pattern = p.as_object();
    if (is_tier(pattern, "confirmed")) continue;
    // A community record is the fleet's: it keeps its own, and a member's run never expires it.
    if (scope_of(pattern) != kLocal) continue;
    const std::string& id = text_field(pattern, "pattern_id");
    kb.expire_pattern(id);
    expired.emplace_back(id);
  }
  return expired;
}

}  // namespace varnel::patstage
