// The three texts of an advisory: the human summary, the chat message and
// the investigation prompt for a coding assistant. Each is a function of
// the advisory record alone (with the helper's phrases); none writes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "advstage/ports.hpp"
#include "common/json_value.hpp"

namespace varnel::advstage {

// A metric value as the reports show it: ratios as percentages, small
// reals with 2 decimals, other reals with 4 significant digits.
std::string fmt_value(const json::Value& metric, const json::Value& value);

// Appends the two or three lines of one change record, each after `indent`.
void append_change_lines(std::vector<std::string>& lines, const json::Value& change, std::string_view indent,
                         AdvisoryLanguage& language);

// The text of summary.txt.
std::string human_summary(const json::Value& advisory, AdvisoryLanguage& language);

// The text of chat.txt.
std::string chat_message(const json::Value& advisory, AdvisoryLanguage& language);

// The text of investigation_prompt.txt (it ends with a newline).
std::string investigation_prompt(const json::Value& advisory);

// Lines joined with "\n", no newline after the last.
std::string join_lines(const std::vector<std::string>& lines);

}  // namespace varnel::advstage
