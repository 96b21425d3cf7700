// Building the verification record and its text.
#include "advstage/verification.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "advstage/fields.hpp"
#include "advstage/labels.hpp"
#include "advstage/renderers.hpp"
#include "common/content_id.hpp"
#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/json_logic.hpp"
#include "common/json_reader.hpp"
#include "common/number_format.hpp"
#include "pyexact/text_case.hpp"

namespace varnel::advstage {

namespace {

using json::Object;

constexpr std::string_view kDiffLists[] = {"resolved", "persisting", "new", "regressions"};

// One list of the difference record; a missing list counts as empty.
const json::Array& diff_list(const Value& diff, std::string_view key) {
  if (!diff.is_object()) {
    throw TypeMismatchError(std::string("the difference of two advisories must be a dict, not ") +
                            json::kind_name(diff.kind()));
  }
  return list_field(diff, key);
}

std::size_t change_count(const Value& advisory) { return list_field(advisory, "changes").size(); }

std::string entry_name(const Value& entry) {
  return family_label(required(entry, "family")) + " / " + metric_label(required(entry, "metric"));
}

void require_object(const Value& v, std::string_view what) {
  if (!v.is_object()) {
    throw TypeMismatchError(std::string(what) + " must be a dict, not " + json::kind_name(v.kind()));
  }
}

}  // namespace

PreviousAdvisory snapshot_previous_advisory(const std::filesystem::path& path) {
  PreviousAdvisory previous;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 && (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)) return previous;
  previous.exists = true;
  try {
    previous.text = files::read_text(path);
  } catch (...) {
    previous.error = std::current_exception();
  }
  return previous;
}

Value decode_previous_advisory(const PreviousAdvisory& previous, const std::filesystem::path& path) {
  if (previous.error) std::rethrow_exception(previous.error);
  if (!previous.exists) throw OsError(ENOENT, path.string());
  json::ReadOptions options;
  options.source = path.string();
  Value advisory = json::parse(previous.text, options);
  if (!advisory.is_object() && !advisory.is_null()) {
    throw TypeMismatchError(path.string() + ": an advisory must be a JSON object, not " +
                            json::kind_name(advisory.kind()));
  }
  return advisory;
}

Value diff_advisories(const Value& before, const Value& after, AdvisoryHistory& history) {
  require_object(before, "the previous advisory");
  require_object(after, "the current advisory");
  Value diff = history.diff_advisories(before, after);
  if (!diff.is_object() && !diff.is_null()) require_object(diff, "the difference of two advisories");
  return diff;
}

Value verification_record(const Value& before, const Value& after, const Value& diff, std::string_view scope,
                          std::string generated_at) {
  const Value before_id = value_or(before, "advisory_id", Value());
  const Value after_id = value_or(after, "advisory_id", Value());
  Object ids;
  ids.append("before", before_id);
  ids.append("after", after_id);

  const std::size_t total = change_count(before);
  const std::size_t resolved = diff_list(diff, "resolved").size();
  Object summary;
  summary.append("total_before", static_cast<std::int64_t>(total));
  for (std::string_view key : kDiffLists) {
    summary.append(std::string(key), static_cast<std::int64_t>(diff_list(diff, key).size()));
  }
  summary.append("resolution_rate", total != 0 ? Value(static_cast<double>(resolved) / static_cast<double>(total))
                                               : Value(0));

  Object record;
  record.append("verification_id", content_id(Value(std::move(ids)), 16));
  record.append("before_advisory_id", before_id);
  record.append("after_advisory_id", after_id);
  record.append("scope", std::string(scope));
  record.append("generated_at", std::move(generated_at));
  record.append("summary", std::move(summary));
  for (std::string_view key : kDiffLists) record.append(std::string(key), diff_list(diff, key));
  return Value(std::move(record));
}

std::string verification_summary(const Value& before, const Value& after, const Value& diff,
                                 AdvisoryLanguage& language) {
  const json::Array& resolved = diff_list(diff, "resolved");
  const json::Array& persisting = diff_list(diff, "persisting");
  const json::Array& fresh = diff_list(diff, "new");
  const json::Array& regressions = diff_list(diff, "regressions");
  const std::size_t total = change_count(before);

  std::vector<std::string> lines;
  lines.push_back("Fix Verification Report \u2014 " + text_field(after, "scope", "unknown"));
  lines.push_back("Comparing: " + std::string(prefix(text_field(before, "advisory_id", "?"), 8)) + " \u2192 " +
                  std::string(prefix(text_field(after, "advisory_id", "?"), 8)));
  lines.emplace_back();
  // All resolved only when nothing new appeared and nothing came back.
  if (resolved.size() == total && fresh.empty() && regressions.empty()) {
    lines.emplace_back("ALL ISSUES RESOLVED. No new issues detected.");
  } else if (!resolved.empty()) {
    lines.push_back(std::to_string(resolved.size()) + " of " + std::to_string(total) + " flagged changes resolved.");
  } else {
    lines.push_back("No changes resolved (" + std::to_string(total) + " still active).");
  }
  lines.emplace_back();

  if (!resolved.empty()) {
    lines.emplace_back("RESOLVED:");
    for (const Value& e : resolved) lines.push_back("  \u2705 " + entry_name(e) + " \u2014 back to normal");
    lines.emplace_back();
  }
  if (!persisting.empty()) {
    lines.emplace_back("STILL UNUSUAL:");
    for (const Value& e : persisting) {
      const std::string name = entry_name(e);
      const std::string level = pyexact::lower(language.risk_text(required(e, "now_deviation"), "description"));
      const bool improving = json::truthy(required(e, "improved"));
      lines.push_back("  \u26a0\ufe0f  " + name + " \u2014 still " + level + " (" +
                      (improving ? "improving" : "not improving") + ")");
    }
    lines.emplace_back();
  }
  if (!fresh.empty()) {
    lines.emplace_back("NEW OBSERVATIONS:");
    for (const Value& e : fresh) {
      const std::string name = entry_name(e);
      lines.push_back("  \U0001f535 " + name + " \u2014 " +
                      pyexact::lower(language.risk_text(required(e, "deviation_stddev"), "description")) + " (new)");
    }
    lines.emplace_back();
  }
  if (!regressions.empty()) {
    lines.emplace_back("REGRESSIONS:");
    for (const Value& e : regressions) {
      const std::string name = entry_name(e);
      lines.push_back("  \U0001f534 " + name + " \u2014 " +
                      pyexact::lower(language.risk_text(required(e, "deviation_stddev"), "description")) +
                      " (was normal before)");
    }
    lines.emplace_back();
  }
  if (total > 0) {
    const double rate = static_cast<double>(resolved.size()) / static_cast<double>(total) * 100.0;
    lines.push_back("Resolution rate: " + numfmt::fixed(rate, 0) + "% (" + std::to_string(resolved.size()) + "/" +
                    std::to_string(total) + ")");
  }
  return join_lines(lines);
}

}  // namespace varnel::advstage
