// The plain-language port: the everyday phrases that explanations and
// advisories borrow from an outside helper. The core only sees this
// interface; the binding layer implements it by calling the host's helper
// module, so the sentences can be reworded without touching C++.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/json_value.hpp"

namespace varnel::vocab {

class PlainLanguage {
 public:
  virtual ~PlainLanguage() = default;

  // Text form of the phrase describing `current` against the `baseline`
  // value it is compared with (both numbers as read, or null).
  virtual std::string relative_change(const json::Value& current, const json::Value& baseline) = 0;

  // Text form of a remark about `metric` moving in `direction` ("up" or
  // "down"); nullopt when the helper has nothing to add (a false result).
  virtual std::optional<std::string> metric_insight(const json::Value& metric, std::string_view direction) = 0;
};

}  // namespace varnel::vocab
