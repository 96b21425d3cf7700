// Prompting, cleaning and checking a model's description of a pattern.
#include "patstage/interpretation.hpp"

#include <cstdint>

#include "common/json_logic.hpp"
#include "common/number_format.hpp"
#include "common/utf8.hpp"

namespace varnel::patstage {

namespace {

constexpr std::size_t kExplainedRefs = 5;
constexpr std::size_t kMaxSentences = 4;

constexpr std::string_view kPromptOpening =
    "You are explaining a recurring code change pattern to a product manager.\n\nStatistical finding: ";
constexpr std::string_view kPromptSignals = "\n\nSignal explanations:\n";
constexpr std::string_view kPromptTask =
    "\n\nDescribe what this pattern means in ONE plain-English sentence.\n"
    "Write for a non-technical audience \u2014 avoid jargon like 'correlation', 'deviation', 'stddev'.\n"
    "Do not add judgment, recommendations, or speculation.\n"
    "Describe only what is happening in practical terms.";

// White space as the host's str.isspace() and its regular expressions' \s
// know it.
bool is_space(std::uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20) || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
         cp == 0x3000;
}

// Whether `cp` matches the ASCII character `c` case-insensitively, as the
// host's regular expressions match it (its Unicode folding lets the dotted
// and dotless capital I match i, and the long s match s).
bool same_letter(std::uint32_t cp, char c) {
  const bool letter = (c >= 'a' && c <= 'z');
  if (cp < 0x80) return letter ? (cp | 0x20) == static_cast<std::uint32_t>(c) : cp == static_cast<std::uint32_t>(c);
  if (c == 'i') return cp == 0x130 || cp == 0x131;
  if (c == 's') return cp == 0x17F;
  return false;
}

// Matches the lower-case literal `word` at byte i; advances i on success.
bool match_word(std::string_view text, std::size_t& i, std::string_view word) {
  std::size_t p = i;
  for (char c : word) {
    if (p >= text.size() || !same_letter(utf8::decode(text, p), c)) return false;
  }
  i = p;
  return true;
}

// Matches either word at i.
bool match_either(std::string_view text, std::size_t& i, std::string_view a, std::string_view b) {
  return match_word(text, i, a) || match_word(text, i, b);
}

std::size_t skip_space(std::string_view text, std::size_t i) {
  while (i < text.size()) {
    std::size_t next = i;
    if (!is_space(utf8::decode(text, next))) break;
    i = next;
  }
  return i;
}

// Where the preamble ends: "here's" or "here is", a space, an optional "a "
// or "the ", "description" or "sentence", anything up to the first colon
// and the colon; or "description:". Then the white space after it.
std::size_t preamble_end(std::string_view text) {
  std::size_t p = 0;
  if (match_word(text, p, "here") && match_either(text, p, "'s", " is") && match_word(text, p, " ")) {
    for (std::string_view article : {"a ", "the ", ""}) {
      std::size_t q = p;
      if (!match_word(text, q, article) || !match_either(text, q, "description", "sentence")) continue;
      const std::size_t colon = text.find(':', q);
      if (colon != std::string_view::npos) return skip_space(text, colon + 1);
    }
  }
  p = 0;
  if (match_word(text, p, "description:")) return skip_space(text, p);
  return 0;
}

std::string_view trim(std::string_view text) {
  const std::size_t start = skip_space(text, 0);
  std::size_t end = start;
  for (std::size_t i = start; i < text.size();) {
    if (!is_space(utf8::decode(text, i))) end = i;
  }
  return text.substr(start, end - start);
}

}  // namespace

std::string display_text(const json::Value* v) {
  if (v == nullptr || v->is_null()) return "";
  if (v->is_string()) return v->as_string();
  return numfmt::plain(*v);
}

Explanations explanations_from_records(const json::Object& by_ref) {
  Explanations out;
  for (const json::Member& m : by_ref) {
    if (json::truthy(m.value)) out.insert_or_assign(m.key, display_text(m.value.get("summary")));
  }
  return out;
}

std::string interpretation_prompt(std::string_view description, const std::vector<std::string>& explanations) {
  std::string prompt(kPromptOpening);
  prompt += description;
  prompt += kPromptSignals;
  for (std::size_t i = 0; i < explanations.size(); ++i) {
    if (i > 0) prompt += '\n';
    prompt += explanations[i];
  }
  prompt += kPromptTask;
  return prompt;
}

std::string strip_preamble(std::string_view answer) {
  return std::string(trim(answer.substr(preamble_end(answer))));
}

std::size_t sentence_count(std::string_view text) {
  std::size_t count = 0;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    const std::string_view piece = text.substr(start, dot == std::string_view::npos ? dot : dot - start);
    count += !trim(piece).empty();
    if (dot == std::string_view::npos) return count;
    start = dot + 1;
  }
}

std::optional<std::string> interpret_pattern(const json::Object& pattern, const Explanations& explanations,
                                             LanguageModel& model, TextGate& gate) {
  std::vector<std::string> sentences;
  if (const json::Value* refs = pattern.find("signal_refs"); refs != nullptr && refs->is_array()) {
    const json::Array& list = refs->as_array();
    for (std::size_t i = 0; i < list.size() && i < kExplainedRefs; ++i) {
      if (!list[i].is_string()) continue;
      if (auto it = explanations.find(list[i].as_string()); it != explanations.end()) {
        sentences.push_back("- " + it->second);
      }
    }
  }
  if (sentences.empty()) return std::nullopt;
  const std::optional<std::string> answer =
      model.generate(interpretation_prompt(display_text(pattern.find("description_statistical")), sentences));
  if (!answer) return std::nullopt;
  std::string text = strip_preamble(*answer);
  if (!gate.accepts(text)) return std::nullopt;
  if (sentence_count(text) > kMaxSentences) return std::nullopt;
  return text;
}

}  // namespace varnel::patstage
