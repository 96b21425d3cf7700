// The rows of the vocabulary's tables (vocab/tables.hpp, generated from
// vocabulary/vocabulary.toml): one shape per kind of table an engine reads.
#pragma once

#include <span>
#include <string_view>

namespace varnel::vocab {

// A family the signal engine judges. Its metrics are numbered by their place
// in `metrics`, the order in which its formula emits them.
struct JudgedFamily {
  std::string_view key;          // engine_id and source_family
  std::string_view source_type;  // label written into every signal
  std::string_view signal_file;
  std::span<const std::string_view> metrics;
};

// Where a family's signals are written in phase2/.
struct SignalFile {
  std::string_view family;
  std::string_view file_name;
};

// The display label of a family or metric.
struct Label {
  std::string_view key;
  std::string_view label;
};

// A sentence about a measured value: `before`, the value in `form`, `after`.
// An empty `form` shows no value.
struct MeasuredSentence {
  std::string_view key;
  std::string_view form;
  std::string_view before;
  std::string_view after;
};

// A flag metric reads as one of two fixed sentences.
struct FlagSentence {
  std::string_view key;
  std::string_view when_set;
  std::string_view when_clear;
};

}  // namespace varnel::vocab
