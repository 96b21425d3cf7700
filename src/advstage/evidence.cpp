// Gathering evidence from the events of the significant signals.
#include "advstage/evidence.hpp"

#include <algorithm>
#include <set>
#include <unordered_set>
#include <utility>

#include "advstage/event_facts.hpp"
#include "advstage/fields.hpp"
#include "advstage/labels.hpp"
#include "common/json_logic.hpp"
#include "common/json_writer.hpp"
#include "common/number_format.hpp"

namespace varnel::advstage {

namespace {

using json::Object;

struct TimelineEntry {
  std::string timestamp;
  std::string family;
  std::string event;
};

// "Files Changed: 42 (3.1 stddev above normal)".
std::string signal_line(const Value& signal) {
  const Value& measure = required(required(signal, "deviation"), "measure");
  const bool above = json::compare_numbers(measure, Value(0), ">") == std::partial_ordering::greater;
  return metric_label(required(signal, "metric")) + ": " + numfmt::format_number(required(signal, "observed"), "%.4g") +
         " (" + numfmt::format_number(abs_number(measure), ".1f") + " stddev " + (above ? "above" : "below") +
         " normal)";
}

bool text_is(const Value& v, std::string_view a, std::string_view b = {}) {
  return v.is_string() && (v.as_string() == a || (!b.empty() && v.as_string() == b));
}

class Collector {
 public:
  void add(const Value& signal, const EventMap& events) {
    const EventMap::Entry* entry = event_of(signal, events);
    if (entry == nullptr || !json::truthy(entry->event)) return;
    const Value& event = entry->event;
    const std::string source_type = text_field(event, "source_type", "unknown");
    const std::string family = text_field(event, "source_family", source_type);
    const Value& payload = object_field(event, "payload");
    const std::string& ts = event_time(*entry);
    timeline_.push_back({ts, family, signal_line(signal)});
    if (family == "version_control") {
      add_commit(payload, ts);
    } else if (family == "testing") {
      add_tests(payload);
    } else if (family == "dependency") {
      add_dependencies(payload);
    } else if (family == "security") {
      add_findings(payload, ts);
    }
  }

  Value finish() && {
    std::stable_sort(timeline_.begin(), timeline_.end(),
                     [](const TimelineEntry& a, const TimelineEntry& b) { return a.timestamp < b.timestamp; });
    std::set<std::pair<std::string, std::string>> kept;
    json::Array timeline;
    for (TimelineEntry& e : timeline_) {
      if (timeline.size() == kMaxTimeline) break;
      if (!kept.emplace(e.family, e.event).second) continue;
      Object entry;
      entry.append("timestamp", std::move(e.timestamp));
      entry.append("family", std::move(e.family));
      entry.append("event", std::move(e.event));
      timeline.push_back(std::move(entry));
    }
    Object evidence;
    evidence.append("commits", first(std::move(commits_), kMaxCommits));
    evidence.append("files_affected", first(std::move(files_), kMaxFiles));
    evidence.append("tests_impacted", first(std::move(tests_), kMaxTests));
    evidence.append("dependencies_changed", first(std::move(dependencies_), kMaxDependencies));
    evidence.append("timeline", std::move(timeline));
    return Value(std::move(evidence));
  }

 private:
  static json::Array first(json::Array list, std::size_t n) {
    if (list.size() > n) list.resize(n);
    return list;
  }

  void add_commit(const Value& payload, const std::string& ts) {
    const Value& attestation = object_field(payload, "attestation");
    const Value* sha = field(attestation, "commit_hash");
    if (sha == nullptr || !json::truthy(*sha)) return;
    if (!seen_commits_.insert(json::dumps(*sha, json::kCanonical)).second) return;
    const json::Array& files = list_field(payload, "files");
    Object commit;
    commit.append("sha", *sha);
    commit.append("message", value_or(attestation, "message", Value("")));
    commit.append("author", value_or(attestation, "author", Value("")));
    commit.append("timestamp", ts);
    append_files(commit, "files_changed", files);
    commits_.push_back(std::move(commit));
    for (const Value& path : files) {
      if (!seen_files_.insert(json::dumps(path, json::kCanonical)).second) continue;
      Object file;
      file.append("path", path);
      file.append("change_type", "modified");
      file.append("first_seen_in", *sha);
      files_.push_back(std::move(file));
    }
  }

  void add_tests(const Value& payload) {
    const Value since = value_or(object_field(payload, "trigger"), "commit_sha", Value(""));
    for (const Value& test_case : list_field(payload, "cases")) {
      const Value* status = field(test_case, "status");
      if (status == nullptr || !text_is(*status, "failed", "errored")) continue;
      Object test;
      test.append("name", value_or(test_case, "name", Value("unknown")));
      test.append("status_before", "passed");
      test.append("status_now", *status);
      test.append("since_commit", since);
      tests_.push_back(std::move(test));
    }
  }

  void add_dependencies(const Value& payload) {
    for (const Value& dependency : list_field(payload, "dependencies")) {
      const Value* direct = field(dependency, "direct");
      if (direct == nullptr || !json::truthy(*direct)) continue;
      Object entry;
      entry.append("name", value_or(dependency, "name", Value("")));
      entry.append("change", "present");
      entry.append("version", value_or(dependency, "version", Value("")));
      dependencies_.push_back(std::move(entry));
    }
  }

  void add_findings(const Value& payload, const std::string& ts) {
    for (const Value& finding : list_field(payload, "findings")) {
      const Value* severity = field(finding, "severity");
      if (severity == nullptr || !text_is(*severity, "critical", "high")) continue;
      timeline_.push_back({ts, "security",
                           "Vulnerability " + text_field(finding, "id", "unknown") + ": " + severity->as_string() +
                               " in " + text_field(finding, "package")});
    }
  }

  json::Array commits_, files_, tests_, dependencies_;
  std::vector<TimelineEntry> timeline_;
  std::unordered_set<std::string> seen_commits_, seen_files_;
};

}  // namespace

Value collect_evidence(const SignalRefs& significant, const EventMap& events) {
  Collector collector;
  for (const Value* signal : significant) collector.add(*signal, events);
  return std::move(collector).finish();
}

}  // namespace varnel::advstage
