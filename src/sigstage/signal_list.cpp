// Signal records and signal files.
#include "sigstage/signal_list.hpp"

#include "common/files.hpp"
#include "common/json_writer.hpp"

namespace varnel::sig {

SignalList::SignalList(std::string engine_id, std::string source_type, std::size_t window_size, NameTable names)
    : engine_id_(std::move(engine_id)),
      source_type_(std::move(source_type)),
      window_size_(window_size),
      names_(std::move(names)) {}

json::Value SignalList::record(std::size_t i) const {
  const Signal& s = signals_[i];
  json::Object window;
  window.append("type", "rolling");
  window.append("size", static_cast<std::int64_t>(window_size_));
  json::Object baseline;
  baseline.append("mean", s.mean.to_json());
  baseline.append("stddev", s.stddev);
  baseline.append("median", s.median.to_json());
  baseline.append("mad", s.mad.to_json());
  json::Object deviation;
  deviation.append("measure", s.measure);
  deviation.append("unit", s.unit);
  deviation.append("degenerate", s.degenerate);
  json::Object confidence;
  confidence.append("sample_count", static_cast<std::int64_t>(s.samples));
  confidence.append("status", s.samples >= window_size_ ? "sufficient" : "accumulating");
  json::Object out;
  out.reserve(9);
  out.append("engine_id", engine_id_);
  out.append("source_type", source_type_);
  out.append("metric", names_.name(s.metric));
  out.append("window", std::move(window));
  out.append("baseline", std::move(baseline));
  out.append("observed", s.observed.to_json());
  out.append("deviation", std::move(deviation));
  out.append("confidence", std::move(confidence));
  out.append("event_ref", s.event_ref);
  return json::Value(std::move(out));
}

void SignalList::write(const std::filesystem::path& path) const {
  constexpr std::size_t kChunk = 1 << 20;
  files::AtomicFile file(path);
  std::string text;
  json::ArrayWriter writer(text, json::kPretty);
  for (std::size_t i = 0; i < signals_.size(); ++i) {
    writer.element(record(i));
    if (text.size() >= kChunk) {
      file.write(text);
      text.clear();
    }
  }
  writer.finish();
  file.write(text);
  file.commit();
}

}  // namespace varnel::sig
