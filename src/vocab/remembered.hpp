// A plain-language port that asks its helper once per distinct question.
// An engine explains hundreds of thousands of signals whose values repeat;
// each call to the helper crosses into the host, so the answers are kept
// for the life of one run, keyed by the exact JSON text of the arguments
// (1 and 1.0 are different questions, as they are to the helper).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "vocab/plain_language.hpp"

namespace varnel::vocab {

class RememberedPlainLanguage final : public PlainLanguage {
 public:
  explicit RememberedPlainLanguage(PlainLanguage& helper) : helper_(helper) {}

  std::string relative_change(const json::Value& current, const json::Value& baseline) override;
  std::optional<std::string> metric_insight(const json::Value& metric, std::string_view direction) override;

 private:
  PlainLanguage& helper_;
  std::unordered_map<std::string, std::string> changes_;
  std::unordered_map<std::string, std::optional<std::string>> insights_;
};

}  // namespace varnel::vocab
