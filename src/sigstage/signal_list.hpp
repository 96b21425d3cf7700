// The signals of one family run, kept compact: a long run holds hundreds of
// thousands of them, and each becomes a JSON record only when it is written
// or handed to the host.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_value.hpp"
#include "sigstage/metrics.hpp"

namespace varnel::sig {

// One judged value of one metric of one event.
struct Signal {
  std::uint16_t metric;  // id in the list's name table
  Num observed;
  Num mean;
  double stddev;
  Num median;
  Num mad;
  double measure;
  std::string_view unit;  // one of the unit labels, which are static
  bool degenerate;
  std::size_t samples;
  json::Value event_ref;
};

class SignalList {
 public:
  SignalList(std::string engine_id, std::string source_type, std::size_t window_size, NameTable names);

  std::size_t size() const { return signals_.size(); }
  bool empty() const { return signals_.empty(); }
  void push(Signal signal) { signals_.push_back(std::move(signal)); }

  // The signal record of signal `i`: nine fields in their fixed order.
  json::Value record(std::size_t i) const;
  // Replaces `path` with the indented array of every record, written in
  // pieces so that the whole text is never held at once.
  void write(const std::filesystem::path& path) const;

 private:
  std::string engine_id_;
  std::string source_type_;
  std::size_t window_size_;
  NameTable names_;
  std::vector<Signal> signals_;
};

}  // namespace varnel::sig
