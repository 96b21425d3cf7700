// Interpretation: one plain-English sentence about a newly found pattern,
// asked of a language model and kept only when it passes the validation
// gate. Texts are compared and trimmed as the host's own str and re do it
// (Unicode whitespace, Unicode case folding of the preamble).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/json_value.hpp"
#include "patstage/language_model.hpp"
#include "patstage/text_gate.hpp"

namespace varnel::patstage {

// The summary sentence of each signal reference's explanation (the last
// explanation of a reference wins, as in the file's order).
using Explanations = std::unordered_map<std::string, std::string>;

// A field's text for a prompt: "" when absent or null, the host's str() of
// anything that is not text.
std::string display_text(const json::Value* v);

// The sentences of explanation records keyed by signal reference, as a
// host hands them over (records that are empty are left out).
Explanations explanations_from_records(const json::Object& by_ref);

// The prompt for a pattern's statistical description and its signals'
// explanation sentences.
std::string interpretation_prompt(std::string_view description, const std::vector<std::string>& explanations);

// The answer without an opening such as "Here is the description:" or
// "Description:" (at the very start only), then trimmed of whitespace.
std::string strip_preamble(std::string_view answer);

// The number of pieces between "." that hold more than whitespace.
std::size_t sentence_count(std::string_view text);

// The pattern's semantic description: the model's answer to the prompt
// built from the explanations of the pattern's first five signal
// references, cleaned, accepted by the gate and at most four sentences.
// nullopt when no explanation is found (the model is not asked), when the
// call fails, or when the answer is refused. Errors of the gate propagate.
std::optional<std::string> interpret_pattern(const json::Object& pattern, const Explanations& explanations,
                                             LanguageModel& model, TextGate& gate);

}  // namespace varnel::patstage
