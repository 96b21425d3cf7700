// Compact signals.
#include "patstage/signal_set.hpp"

#include "common/errors.hpp"
#include "common/json_logic.hpp"

namespace varnel::patstage {

namespace {

[[noreturn]] void wrong_kind(std::string_view what, std::string_view wanted, const json::Value& v) {
  throw TypeMismatchError(std::string(what) + " must be " + std::string(wanted) + ", not " + json::kind_name(v.kind()));
}

}  // namespace

std::uint32_t TextTable::intern(std::string_view text) {
  if (auto it = ids_.find(text); it != ids_.end()) return it->second;
  const auto id = static_cast<std::uint32_t>(texts_.size());
  texts_.emplace_back(text);
  ids_.emplace(texts_.back(), id);
  return id;
}

SignalSet::SignalSet() { refs_.intern(""); }

void SignalSet::add(const json::Value& record) {
  if (!record.is_object()) wrong_kind("a signal", "an object", record);
  Signal s{Signal::kMissing, Signal::kMissing, 0, MeasureState::Absent, 0.0, false, false};
  if (const json::Value* v = record.get("engine_id")) {
    if (!v->is_string()) wrong_kind("a signal's engine_id", "text", *v);
    s.family = names_.intern(v->as_string());
  }
  if (const json::Value* v = record.get("metric")) {
    if (!v->is_string()) wrong_kind("a signal's metric", "text", *v);
    s.metric = names_.intern(v->as_string());
  }
  // A reference that is not text can match no event.
  if (const json::Value* v = record.get("event_ref"); v != nullptr && v->is_string()) {
    s.ref = refs_.intern(v->as_string());
  }
  if (const json::Value* dev = record.get("deviation")) {
    if (!dev->is_object()) wrong_kind("a signal's deviation", "an object", *dev);
    if (const json::Value* d = dev->get("degenerate")) s.degenerate = json::truthy(*d);
    if (const json::Value* u = dev->get("unit")) s.degenerate_unit = u->is_string() && u->as_string() == "degenerate";
    if (const json::Value* m = dev->get("measure")) {
      if (m->is_null()) {
        s.state = MeasureState::Null;
      } else {
        if (!m->is_number() && !m->is_bool()) wrong_kind("a signal's deviation measure", "a number", *m);
        s.state = MeasureState::Number;
        s.measure = m->to_double();
      }
    }
  }
  signals_.push_back(s);
}

const std::string& SignalSet::family(const Signal& s) const {
  if (s.family == Signal::kMissing) throw MissingKeyError("engine_id");
  return names_.text(s.family);
}

const std::string& SignalSet::metric(const Signal& s) const {
  if (s.metric == Signal::kMissing) throw MissingKeyError("metric");
  return names_.text(s.metric);
}

json::Object group_signals_by_event(json::Array records) {
  TextTable refs;
  std::vector<json::Array> groups;
  for (json::Value& record : records) {
    if (!record.is_object()) wrong_kind("a signal", "an object", record);
    const json::Value* ref = record.get("event_ref");
    if (ref == nullptr || !ref->is_string() || ref->as_string().empty()) continue;
    const std::uint32_t id = refs.intern(ref->as_string());
    if (id == groups.size()) groups.emplace_back();
    groups[id].push_back(std::move(record));
  }
  json::Object out;
  out.reserve(groups.size());
  for (std::uint32_t id = 0; id < groups.size(); ++id) out.append(refs.text(id), std::move(groups[id]));
  return out;
}

}  // namespace varnel::patstage
