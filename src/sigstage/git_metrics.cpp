// Git metrics and the incremental git window.
#include "sigstage/git_metrics.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "common/errors.hpp"
#include "sigstage/payload_reader.hpp"

namespace varnel::sig {

std::vector<std::string> git_files(const json::Value& event, const std::string& file) {
  const PayloadReader p(event, file);
  std::vector<std::string> files;
  if (const json::Array* list = p.list({"files"})) {
    files.reserve(list->size());
    for (const json::Value& f : *list) {
      if (!f.is_string()) {
        throw TypeMismatchError(file + ": payload.files must hold paths as text, not " + json::kind_name(f.kind()));
      }
      files.push_back(f.as_string());
    }
  }
  std::sort(files.begin(), files.end());
  files.erase(std::unique(files.begin(), files.end()), files.end());
  return files;
}

std::string top_level(const std::string& path) {
  // A rooted path keeps its root as the first component; POSIX gives exactly
  // two leading slashes a meaning of their own.
  std::size_t lead = 0;
  while (lead < path.size() && path[lead] == '/') ++lead;
  if (lead == 2) return "//";
  if (lead > 0) return "/";
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string_view part(path.data() + start, end - start);
    if (!part.empty() && part != ".") return std::string(part);
    start = end + 1;
  }
  return "_root";
}

double dispersion(const std::vector<std::string>& sorted_files) {
  if (sorted_files.empty()) return 0.0;
  std::map<std::string, std::size_t> buckets;  // ordered by name, so the sum's rounding is fixed
  for (const std::string& f : sorted_files) ++buckets[top_level(f)];
  const auto total = static_cast<double>(sorted_files.size());
  double entropy = 0.0;
  for (const auto& [name, count] : buckets) {
    const double p = static_cast<double>(count) / total;
    entropy = entropy - p * std::log2(p);
  }
  return entropy;
}

json::Object event_metrics(const json::Value& event) {
  const std::vector<std::string> files = git_files(event, "event");
  json::Object out;
  out.append("files_touched", static_cast<std::int64_t>(files.size()));
  out.append("dispersion", dispersion(files));
  return out;
}

std::vector<std::pair<std::string, std::string>> cochange_pairs(const std::vector<std::string>& sorted_files) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (std::size_t i = 0; i < sorted_files.size(); ++i) {
    for (std::size_t j = i + 1; j < sorted_files.size(); ++j) pairs.emplace_back(sorted_files[i], sorted_files[j]);
  }
  return pairs;
}

std::pair<double, double> locality_and_novelty(const std::vector<std::string>& sorted_files,
                                               const std::vector<WindowFiles>& window) {
  std::set<std::string_view> recent;
  std::set<std::pair<std::string_view, std::string_view>> seen;
  for (const WindowFiles& entry : window) {
    recent.insert(entry.files.begin(), entry.files.end());
    for (const auto& [a, b] : entry.pairs) seen.emplace(a, b);
  }
  std::size_t shared = 0;
  for (const std::string& f : sorted_files) shared += recent.contains(f);
  const double locality =
      sorted_files.empty() ? 0.0 : static_cast<double>(shared) / static_cast<double>(sorted_files.size());
  const auto pairs = cochange_pairs(sorted_files);
  double novelty = 1.0;
  if (!window.empty() && !pairs.empty()) {
    std::size_t unseen = 0;
    for (const auto& [a, b] : pairs) unseen += !seen.contains({a, b});
    novelty = static_cast<double>(unseen) / static_cast<double>(pairs.size());
  }
  return {locality, novelty};
}

std::uint32_t GitWindow::file_id(const std::string& path) {
  auto [it, fresh] = ids_.emplace(path, static_cast<std::uint32_t>(ids_.size()));
  if (fresh) file_counts_.push_back(0);
  return it->second;
}

void GitWindow::count(const Entry& e, int delta) {
  for (std::uint32_t f : e.files) file_counts_[f] += static_cast<std::uint32_t>(delta);
  for (std::uint64_t p : e.pairs) {
    auto it = pair_counts_.find(p);
    if (delta > 0) {
      if (it == pair_counts_.end()) {
        pair_counts_.emplace(p, 1);
      } else {
        ++it->second;
      }
    } else if (--it->second == 0) {
      pair_counts_.erase(it);
    }
  }
}

Metrics GitWindow::measure(const std::vector<std::string>& files) {
  pending_.files.clear();
  pending_.pairs.clear();
  for (const std::string& f : files) pending_.files.push_back(file_id(f));
  if (files.size() <= kMaxPairFiles) {
    for (std::size_t i = 0; i < pending_.files.size(); ++i) {
      for (std::size_t j = i + 1; j < pending_.files.size(); ++j) {
        const std::uint64_t a = std::min(pending_.files[i], pending_.files[j]);
        const std::uint64_t b = std::max(pending_.files[i], pending_.files[j]);
        pending_.pairs.push_back(a << 32 | b);
      }
    }
  }
  Metrics m;
  m.items.push_back({kFilesTouched, MetricValue::of(Num::integer(static_cast<Int128>(files.size())))});
  m.items.push_back({kDispersion, MetricValue::of(Num::real(dispersion(files)))});
  std::size_t recent = 0;
  for (std::uint32_t f : pending_.files) recent += file_counts_[f] > 0;
  const double locality = files.empty() ? 0.0 : static_cast<double>(recent) / static_cast<double>(files.size());
  m.items.push_back({kChangeLocality, MetricValue::of(Num::real(locality))});
  if (!pending_.pairs.empty()) {
    double novelty = 1.0;
    if (!ring_.empty()) {
      std::size_t unseen = 0;
      for (std::uint64_t p : pending_.pairs) unseen += !pair_counts_.contains(p);
      novelty = static_cast<double>(unseen) / static_cast<double>(pending_.pairs.size());
    }
    m.items.push_back({kCochangeNovelty, MetricValue::of(Num::real(novelty))});
  }
  return m;
}

void GitWindow::remember() {
  count(pending_, 1);
  if (ring_.size() < capacity_) {
    ring_.push_back(std::move(pending_));
  } else {
    count(ring_[oldest_], -1);
    std::swap(ring_[oldest_], pending_);
    oldest_ = (oldest_ + 1) % capacity_;
  }
}

}  // namespace varnel::sig
