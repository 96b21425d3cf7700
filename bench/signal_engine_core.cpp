// The signal engine's core alone, without a Python host: seconds and peak
// resident memory of run_all or run_all_parallel on a workspace.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "sigstage/signal_engine.hpp"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s WORKSPACE run_all|run_all_parallel [workers]\n", argv[0]);
    return 2;
  }
  const varnel::sig::SignalEngine engine(argv[1], 50, 5);
  const std::string op = argv[2];
  std::size_t signals = 0;
  const auto start = std::chrono::steady_clock::now();
  if (op == "run_all") {
    engine.run_all([&](std::size_t, varnel::sig::SignalList& s) { signals += s.size(); });
  } else {
    const std::size_t workers = argc > 3 ? std::stoul(argv[3]) : 4;
    engine.run_all_parallel(
        workers, [&](varnel::sig::SignalEngine::Outcome& o) { signals += o.signals ? o.signals->size() : 0; }, [] {});
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("{\"seconds\": %.6f, \"signals\": %zu, \"peak_mb\": %.1f}\n", seconds, signals,
              static_cast<double>(usage.ru_maxrss) / 1024.0);
  return 0;
}
