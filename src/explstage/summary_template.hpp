// The summary sentence of one signal: a fixed sentence per metric showing
// the observed value in that metric's number form, followed by the helper's
// change phrase, its optional remark, and a caution while the history is
// still short. A signal whose baseline never varied gets a sentence of its
// own that says so instead.
#pragma once

#include <string>
#include <string_view>

#include "common/json_value.hpp"
#include "vocab/plain_language.hpp"

namespace varnel::explstage {

// The centre of the signal's baseline (vocab::baseline_center): its median
// when the median and a positive MAD are both given, else its mean (whatever
// it holds, null included).
const json::Value& baseline_center(const json::Value& signal);

// "up" when the observed value is at or above the center, or above 0 when
// the center is null or 0; else "down".
std::string_view direction(const json::Value& signal);

// The summary sentence. Asks `helper` for the change phrase and then for
// the remark, once each, even where the sentence uses neither.
std::string summary(const json::Value& signal, vocab::PlainLanguage& helper);

}  // namespace varnel::explstage
