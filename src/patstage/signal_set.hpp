// The signals of a run as Phase 4 reads them, kept compact: a long
// workspace holds hundreds of thousands, and only their family, metric,
// event reference and deviation matter here. Families and metrics share one
// table of names and references another, so that keys compare as integers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/json_value.hpp"

namespace varnel::patstage {

// A table of distinct texts, each with a small number.
class TextTable {
 public:
  // The number of `text`, added when new.
  std::uint32_t intern(std::string_view text);
  const std::string& text(std::uint32_t id) const { return texts_[id]; }
  std::size_t size() const { return texts_.size(); }

 private:
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::vector<std::string> texts_;
  std::unordered_map<std::string, std::uint32_t, TextHash, std::equal_to<>> ids_;
};

enum class MeasureState : std::uint8_t { Absent, Null, Number };

struct Signal {
  static constexpr std::uint32_t kMissing = UINT32_MAX;

  std::uint32_t family;  // engine_id's name number, kMissing when absent
  std::uint32_t metric;  // metric's name number, kMissing when absent
  std::uint32_t ref;     // event_ref's number; 0 is "" (absent, empty or not text)
  MeasureState state;
  double measure;         // deviation.measure; 0 when absent
  bool degenerate;        // deviation.degenerate is true
  bool degenerate_unit;   // deviation.unit is "degenerate"
};

class SignalSet {
 public:
  SignalSet();

  // Adds one signal record. Throws TypeMismatchError when the record is
  // not an object, its engine_id or metric is not text, its deviation not
  // an object or its measure not a number.
  void add(const json::Value& record);

  const std::vector<Signal>& signals() const { return signals_; }
  std::size_t size() const { return signals_.size(); }

  // The signal's engine_id and metric; MissingKeyError naming the field
  // when it is absent.
  const std::string& family(const Signal& s) const;
  const std::string& metric(const Signal& s) const;
  const TextTable& names() const { return names_; }
  const TextTable& refs() const { return refs_; }

 private:
  TextTable names_;
  TextTable refs_;
  std::vector<Signal> signals_;
};

// The records grouped by event_ref, references in first-seen order; records
// without a non-empty text reference are left out. Throws
// TypeMismatchError for a record that is not an object.
json::Object group_signals_by_event(json::Array records);

}  // namespace varnel::patstage
