// The advisory engine's core alone, without a Python host: seconds and peak
// resident memory of run on a workspace, with outside modules that answer at
// once (nothing accepted, fixed phrases).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "advstage/advisory_engine.hpp"

namespace {

using varnel::json::Value;

class QuietLanguage : public varnel::advstage::AdvisoryLanguage {
 public:
  std::string relative_change(const Value&, const Value&) override { return "up"; }
  std::optional<std::string> metric_insight(const Value&, std::string_view) override { return std::nullopt; }
  std::string risk_text(const Value&, std::string_view) override { return "High"; }
  std::string friendly_pattern(const Value&) override { return "pattern"; }
  std::optional<std::string> pattern_severity(const Value&) override { return "info"; }
  Value advisory_status(const Value&) override { return Value("review"); }
};

class NothingAccepted : public varnel::advstage::AcceptedDeviations {
 public:
  void cleanup_expired() override {}
  std::vector<bool> accepted(const varnel::json::Array& changes, const varnel::json::Array&) override {
    return std::vector<bool>(changes.size(), false);
  }
};

class NoHistory : public varnel::advstage::AdvisoryHistory {
 public:
  Value diff_advisories(const Value&, const Value&) override { return Value(varnel::json::Object{}); }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s WORKSPACE\n", argv[0]);
    return 2;
  }
  QuietLanguage language;
  NothingAccepted accepted;
  NoHistory history;
  varnel::advstage::Outside outside{language, accepted, history};
  const varnel::advstage::AdvisoryEngine engine(argv[1], 1.5);
  const auto start = std::chrono::steady_clock::now();
  const Value result = engine.run("bench", outside);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("{\"seconds\": %.6f, \"status\": \"%s\", \"peak_mb\": %.1f}\n", seconds,
              result.at("status").as_string().c_str(), static_cast<double>(usage.ru_maxrss) / 1024.0);
  return 0;
}
