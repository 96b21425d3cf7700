// Loading signals, building explanation records and writing them.
#include "explstage/explanation_engine.hpp"

#include <functional>
#include <string>
#include <utility>

#include "common/clock.hpp"
#include "common/content_id.hpp"
#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/json_writer.hpp"
#include "explstage/summary_template.hpp"
#include "vocab/remembered.hpp"
#include "workspace/signal_files.hpp"

namespace varnel::explstage {

namespace {

using json::Value;

// Moves a required member out of a signal record.
Value take(Value& signal, std::string_view key) {
  if (!signal.is_object()) {
    throw TypeMismatchError(std::string("a signal must be an object, not ") + json::kind_name(signal.kind()));
  }
  Value* member = signal.as_object().find(key);
  if (member == nullptr) throw MissingKeyError(std::string(key));
  return std::move(*member);
}

constexpr std::size_t kWriteChunk = 1 << 20;

}  // namespace

ExplanationEngine::ExplanationEngine(std::filesystem::path varnel_dir)
    : layout_(std::move(varnel_dir)) {
  files::make_dirs(layout_.phase3);
}

json::Array ExplanationEngine::load_signals() const { return workspace::load_signal_files(layout_.phase2); }

Value explain(Value&& signal, vocab::PlainLanguage& helper) {
  json::Object record;
  record.reserve(8);
  record.append("engine_id", take(signal, "engine_id"));
  record.append("source_type", take(signal, "source_type"));
  Value* event_ref = signal.as_object().find("event_ref");
  record.append("signal_ref", event_ref != nullptr ? std::move(*event_ref) : Value());
  record.append("summary", summary(signal, helper));
  json::Object details;
  details.reserve(4);
  details.append("metric", take(signal, "metric"));
  details.append("observed", take(signal, "observed"));
  details.append("baseline", take(signal, "baseline"));
  details.append("deviation", take(signal, "deviation"));
  record.append("details", std::move(details));
  record.append("confidence", take(signal, "confidence"));
  record.append("generated_at", utc_timestamp());
  Value out(std::move(record));
  std::string id = explanation_hash(out);
  out.as_object().append("explanation_id", std::move(id));
  return out;
}

json::Array ExplanationEngine::run(vocab::PlainLanguage& helper) const {
  json::Array records;
  explain_all(helper, [&](Value&& record) { records.push_back(std::move(record)); });
  return records;
}

std::size_t ExplanationEngine::write(vocab::PlainLanguage& helper) const {
  vocab::RememberedPlainLanguage language(helper);  // the same values recur across signals
  return explain_all(language, {});
}

std::size_t ExplanationEngine::explain_all(vocab::PlainLanguage& helper,
                                           const std::function<void(Value&&)>& keep) const {
  // Every signal file is read through first, so that a damaged one fails the
  // run before the helper is asked anything; then the signals are explained
  // one at a time and the file written a megabyte at a time, so neither the
  // signals, the records nor the text are ever held whole.
  const std::size_t count = workspace::count_signal_files(layout_.phase2);
  if (count == 0) throw NotFoundError(std::string(kNoSignalsMessage));
  files::AtomicFile file(workspace::explanations_file(layout_.phase3));
  std::string text;
  json::ArrayWriter writer(text, json::kPretty);
  workspace::for_each_signal(layout_.phase2, [&](Value&& signal) {
    Value record = explain(std::move(signal), helper);
    writer.element(record);
    if (keep) keep(std::move(record));
    if (text.size() >= kWriteChunk) {
      file.write(text);
      text.clear();
    }
  });
  writer.finish();
  file.write(text);
  file.commit();
  return count;
}

std::string explanation_hash(const Value& data) { return content_id(data, 64); }

}  // namespace varnel::explstage
