// Reads the payload fields of one event the way the metric formulas need
// them, with errors that name the event file and the field.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "common/json_value.hpp"
#include "sigstage/metrics.hpp"

namespace varnel::sig {

using Path = std::initializer_list<std::string_view>;

class PayloadReader {
 public:
  // Takes the event's payload; throws MissingKeyError("payload") when absent
  // and TypeMismatchError when the event or payload is not an object.
  PayloadReader(const json::Value& event, const std::string& file);

  // The value at `path` below the payload, or nullptr when a member is
  // missing at any level. A member on the way that is present but not an
  // object (null included) is a TypeMismatchError.
  const json::Value* find(Path path) const;

  // A value copied into a metric: a number, null, or (for text, lists,
  // maps) a value that fails where it is used. A boolean is refused at once.
  MetricValue copied(Path path, const Num& fallback) const;

  // A number that enters arithmetic; null, booleans, text and the like are
  // refused with a TypeMismatchError. NaN and infinities pass through.
  Num operand(Path path, const Num& fallback) const;

  // The truth value of the member, false when absent.
  bool truthy(Path path) const;

  // The list at `path` (nullptr when absent); anything else but a list is refused.
  const json::Array* list(Path path) const;

  const std::string& file() const { return file_; }

 private:
  // "file: payload.a.b" for the first `depth` members of the path.
  std::string describe(Path path, std::size_t depth = static_cast<std::size_t>(-1)) const;
  const json::Value* payload_;
  const std::string& file_;
};

// max(t, 1) as a host computes it: t unless 1 is greater.
Num at_least_one(const Num& t);

}  // namespace varnel::sig
