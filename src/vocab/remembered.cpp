#include "vocab/remembered.hpp"

#include "common/json_writer.hpp"

namespace varnel::vocab {

namespace {

// Enough for every distinct pair of a large history; beyond it the memory
// is given back and the answers asked again.
constexpr std::size_t kMostKept = 1 << 18;

std::string key(const json::Value& first, std::string_view second_text) {
  std::string out = json::dumps(first, json::kCanonical);
  out += '\n';  // never inside the one-line canonical text
  out += second_text;
  return out;
}

template <typename Map, typename Ask>
const typename Map::mapped_type& remembered(Map& kept, std::string&& question, Ask ask) {
  if (auto found = kept.find(question); found != kept.end()) return found->second;
  auto answer = ask();  // a helper that raises leaves nothing kept
  if (kept.size() >= kMostKept) kept.clear();
  return kept.emplace(std::move(question), std::move(answer)).first->second;
}

}  // namespace

std::string RememberedPlainLanguage::relative_change(const json::Value& current, const json::Value& baseline) {
  return remembered(changes_, key(current, json::dumps(baseline, json::kCanonical)),
                    [&] { return helper_.relative_change(current, baseline); });
}

std::optional<std::string> RememberedPlainLanguage::metric_insight(const json::Value& metric,
                                                                   std::string_view direction) {
  return remembered(insights_, key(metric, direction), [&] { return helper_.metric_insight(metric, direction); });
}

}  // namespace varnel::vocab
