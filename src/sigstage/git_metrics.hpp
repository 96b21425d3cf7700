// The shape of a commit: how many files it touches, how widely they spread
// over the top-level directories, how much of it lands where recent commits
// landed, and how many of its file pairs never changed together before.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/json_value.hpp"
#include "sigstage/metrics.hpp"

namespace varnel::sig {

// The git family's metrics, numbered by their place in its list in the
// vocabulary.
enum GitMetric : std::uint16_t { kFilesTouched, kDispersion, kChangeLocality, kCochangeNovelty };

// An event touching more distinct files than this contributes no pairs.
inline constexpr std::size_t kMaxPairFiles = 30;

// The distinct files of a git event's payload.files, sorted; none when
// absent. Throws when the payload or the list is malformed.
std::vector<std::string> git_files(const json::Value& event, const std::string& file);

// Shannon entropy in bits of the files over their top-level directories,
// terms added in ascending directory order.
double dispersion(const std::vector<std::string>& sorted_files);

// The metrics of one git event alone, as a host's map: files_touched and
// dispersion.
json::Object event_metrics(const json::Value& event);

// The top-level directory (bucket) of a path.
std::string top_level(const std::string& path);

// Every pair (a, b), a < b, of the sorted distinct files.
std::vector<std::pair<std::string, std::string>> cochange_pairs(const std::vector<std::string>& sorted_files);

// A window entry as a host may hold it: its files and its pairs.
struct WindowFiles {
  std::vector<std::string> files;
  std::vector<std::pair<std::string, std::string>> pairs;
};

// Change locality and co-change novelty of the files against any window,
// without the pair limit: locality is 0.0 without files; novelty is 1.0
// unless both the window and the pairs are non-empty.
std::pair<double, double> locality_and_novelty(const std::vector<std::string>& sorted_files,
                                               const std::vector<WindowFiles>& window);

// The rolling window of recent commits' files and pairs, kept as counts so
// that each event is measured without rebuilding the window's unions.
class GitWindow {
 public:
  explicit GitWindow(std::size_t capacity) : capacity_(capacity) {}

  // The four metrics of an event with these files against the window.
  Metrics measure(const std::vector<std::string>& files);
  // Adds the event measured last, dropping the oldest when full.
  void remember();

 private:
  std::uint32_t file_id(const std::string& path);
  struct Entry {
    std::vector<std::uint32_t> files;
    std::vector<std::uint64_t> pairs;
  };
  void count(const Entry& e, int delta);

  std::size_t capacity_;
  std::vector<Entry> ring_;
  std::size_t oldest_ = 0;
  Entry pending_;
  std::unordered_map<std::string, std::uint32_t> ids_;
  std::vector<std::uint32_t> file_counts_;  // by file id: window entries holding it
  std::unordered_map<std::uint64_t, std::uint32_t> pair_counts_;
};

}  // namespace varnel::sig
