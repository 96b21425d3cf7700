// Reading the events of a workspace once for every family.
#include "sigstage/event_catalog.hpp"

#include <algorithm>
#include <cmath>

#include "common/errors.hpp"
#include "common/json_logic.hpp"
#include "common/json_reader.hpp"
#include "sigstage/git_metrics.hpp"
#include "workspace/event_files.hpp"

namespace varnel::sig {

namespace {

const json::Value kEmptyText{std::string()};

// The ordering class of a key: text, number, or something no other key compares with.
enum class KeyClass { Text, Number, Other };

KeyClass key_class(const json::Value& v) {
  if (v.is_string()) return KeyClass::Text;
  if (v.is_number() || v.is_bool()) return KeyClass::Number;
  return KeyClass::Other;
}

bool is_nan(const json::Value& v) { return v.is_real() && std::isnan(v.as_real()); }

// Strict order of number keys, exact across kinds; NaN, which has no place
// in an order, sorts first.
bool number_less(const json::Value& a, const json::Value& b) {
  if (is_nan(a) || is_nan(b)) return is_nan(a) && !is_nan(b);
  return json::compare_numbers(a, b, "<") < 0;
}

bool field_equals(const json::Value& event, std::string_view key, std::string_view wanted) {
  const json::Value* v = event.get(key);
  return v != nullptr && v->is_string() && v->as_string() == wanted;
}

bool selects(std::size_t family, const json::Value& event) {
  return family == 0 ? field_equals(event, "source_type", "git")
                     : field_equals(event, "source_family", families()[family].key);
}

// One event file, which must hold a JSON object.
json::Value read_event(const workspace::EventReader& reader, const std::string& name, const std::string& path) {
  json::Value event = reader.read(name);
  if (!event.is_object()) throw TypeMismatchError(path + ": the event is not a JSON object");
  return event;
}

CatalogEvent project(std::size_t index, const workspace::EventReader& reader, const std::string& name,
                     const std::string& path, FamilySet wanted) {
  CatalogEvent out{index, nullptr, kEmptyText, std::nullopt, {}};
  json::Value event;
  try {
    event = read_event(reader, name, path);
  } catch (...) {
    out.load_error = std::current_exception();
    return out;
  }
  out.observed_at = observed_at_of(event);
  if (const json::Value* id = event.get("event_id")) out.event_id = *id;
  for (std::size_t f = 0; f < kFamilyCount; ++f) {
    if (!wanted[f] || !selects(f, event)) continue;
    FamilyView view{static_cast<std::uint8_t>(f), {}, {}, nullptr};
    try {
      if (f == 0) {
        view.files = git_files(event, path);
      } else {
        view.metrics = families()[f].formula(event, path);
      }
    } catch (...) {
      view.error = std::current_exception();
    }
    out.views.push_back(std::move(view));
  }
  return out;
}

}  // namespace

const json::Value& observed_at_of(const json::Value& event) {
  const json::Value* v = event.get("observed_at");
  return v != nullptr ? *v : kEmptyText;
}

std::vector<std::size_t> order_by_observed_at(const std::vector<const json::Value*>& keys,
                                              const std::vector<const std::string*>& files) {
  std::vector<std::size_t> order(keys.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  if (keys.size() < 2) return order;
  const KeyClass first = key_class(*keys[0]);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const KeyClass c = key_class(*keys[i]);
    if (c == KeyClass::Other || c != first) {
      const std::size_t other = i == 0 ? 1 : 0;
      throw TypeMismatchError(std::string("'<' not supported between instances of '") +
                              json::kind_name(keys[i]->kind()) + "' and '" + json::kind_name(keys[other]->kind()) +
                              "' (observed_at of " + *files[i] + " and " + *files[other] + ")");
    }
  }
  if (first == KeyClass::Text) {
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return keys[a]->as_string() < keys[b]->as_string(); });
  } else {
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return number_less(*keys[a], *keys[b]); });
  }
  return order;
}

const FamilyView* CatalogEvent::view(std::size_t family) const {
  for (const FamilyView& v : views) {
    if (v.family == family) return &v;
  }
  return nullptr;
}

EventCatalog::EventCatalog(const std::filesystem::path& dir, FamilySet wanted)
    : wanted_(wanted), reader_(dir), names_(workspace::list_event_files(dir)) {
  for (const std::string& name : names_) paths_.push_back((dir / name).string());
  events_.resize(paths_.size());
}

void EventCatalog::load(std::size_t index) {
  events_[index] = project(index, reader_, names_[index], paths_[index], wanted_);
}

void EventCatalog::load_all() {
  for (std::size_t i = 0; i < paths_.size(); ++i) load(i);
}

std::vector<const CatalogEvent*> EventCatalog::select(std::size_t family) const {
  std::vector<const CatalogEvent*> chosen;
  std::vector<const json::Value*> keys;
  std::vector<const std::string*> files;
  for (const CatalogEvent& e : events_) {
    if (e.load_error) std::rethrow_exception(e.load_error);
    if (e.view(family) == nullptr) continue;
    chosen.push_back(&e);
    keys.push_back(&e.observed_at);
    files.push_back(&paths_[e.file]);
  }
  std::vector<const CatalogEvent*> ordered;
  ordered.reserve(chosen.size());
  for (std::size_t i : order_by_observed_at(keys, files)) ordered.push_back(chosen[i]);
  return ordered;
}

std::vector<json::Value> load_events(const std::filesystem::path& dir, const std::string& source_family,
                                     const std::string& source_type) {
  std::vector<json::Value> events;
  std::vector<std::string> paths;
  const workspace::EventReader reader(dir);
  for (const std::string& name : workspace::list_event_files(dir)) {
    std::string path = (dir / name).string();
    json::Value event = read_event(reader, name, path);
    if (!source_family.empty() && !field_equals(event, "source_family", source_family)) continue;
    if (!source_type.empty() && !field_equals(event, "source_type", source_type)) continue;
    events.push_back(std::move(event));
    paths.push_back(std::move(path));
  }
  std::vector<const json::Value*> keys;
  std::vector<const std::string*> files;
  for (std::size_t i = 0; i < events.size(); ++i) {
    keys.push_back(&observed_at_of(events[i]));
    files.push_back(&paths[i]);
  }
  std::vector<json::Value> ordered;
  ordered.reserve(events.size());
  for (std::size_t i : order_by_observed_at(keys, files)) ordered.push_back(std::move(events[i]));
  return ordered;
}

}  // namespace varnel::sig
