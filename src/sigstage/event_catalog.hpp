// The events of a workspace, read once and shared by every family run.
//
// Each event file is parsed once; what a family needs of it (its metrics,
// git's file set, the ordering key, the event id) is taken out right away
// and the parsed tree is dropped, which keeps memory near the size of the
// files. Failures are kept, not thrown, and each family meets them exactly
// where a run of its own would have: a file that cannot be loaded fails
// every family, an event's bad field fails the family that reads it when the
// run reaches that event.
#pragma once

#include <bitset>
#include <cstddef>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/json_value.hpp"
#include "sigstage/families.hpp"
#include "sigstage/metrics.hpp"
#include "workspace/event_cache.hpp"

namespace varnel::sig {

// What one family takes from one event.
struct FamilyView {
  std::uint8_t family;              // index into families()
  Metrics metrics;                  // the formula's result (not git)
  std::vector<std::string> files;   // git: the distinct files, sorted
  std::exception_ptr error;         // the formula failed on this event
};

struct CatalogEvent {
  std::size_t file;                   // index into the file names
  std::exception_ptr load_error;      // unreadable, not JSON, or not an object
  json::Value observed_at;            // "" when absent
  std::optional<json::Value> event_id;
  std::vector<FamilyView> views;      // one per requested family that selects the event

  const FamilyView* view(std::size_t family) const;
};

using FamilySet = std::bitset<kFamilyCount>;

class EventCatalog {
 public:
  // Lists the event files of `dir` for the families in `wanted`; nothing is
  // read until load() (so several threads can share the reading).
  EventCatalog(const std::filesystem::path& dir, FamilySet wanted);

  // Number of event files.
  std::size_t size() const { return paths_.size(); }
  // Reads event `index`; distinct indices may be loaded on different threads.
  void load(std::size_t index);
  // Reads every event on the calling thread.
  void load_all();

  // The events of `family` in run order (by observed_at, stable on file
  // names). Throws the first load error in file order, or a TypeMismatchError
  // when the ordering keys cannot be compared.
  std::vector<const CatalogEvent*> select(std::size_t family) const;

 private:
  FamilySet wanted_;
  workspace::EventReader reader_;
  std::vector<std::string> names_;
  std::vector<std::string> paths_;
  std::vector<CatalogEvent> events_;
};

// The ordering key of an event: observed_at, "" when absent.
const json::Value& observed_at_of(const json::Value& event);

// The positions of `keys` (observed_at values, "" for absent) in stable
// ascending order as a host compares them: text with text by code point,
// numbers with numbers by value. Any other mixture of two or more keys is a
// TypeMismatchError naming the files of two keys that cannot be compared.
std::vector<std::size_t> order_by_observed_at(const std::vector<const json::Value*>& keys,
                                              const std::vector<const std::string*>& files);

// Full events for a host: parsed, filtered by source_family / source_type
// (empty text selects everything) and ordered.
std::vector<json::Value> load_events(const std::filesystem::path& dir, const std::string& source_family,
                                     const std::string& source_type);

}  // namespace varnel::sig
