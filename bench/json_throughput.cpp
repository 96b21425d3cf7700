// Reads a JSON file and writes it back in the indented and canonical forms,
// printing MB/s for each. The floor it is compared with is a plain read of
// the file's bytes.
#include <chrono>
#include <cstdio>
#include <string>

#include "common/files.hpp"
#include "common/json_reader.hpp"
#include "common/json_writer.hpp"

namespace {

template <typename F>
double best_seconds(int repeats, F&& work) {
  double best = 1e300;
  for (int i = 0; i < repeats; ++i) {
    const auto start = std::chrono::steady_clock::now();
    work();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    best = s < best ? s : best;
  }
  return best;
}

void report(const char* what, std::size_t bytes, double seconds) {
  std::printf("%-26s %8.1f MB in %7.3f s  %8.1f MB/s\n", what, static_cast<double>(bytes) / 1e6, seconds,
              static_cast<double>(bytes) / 1e6 / seconds);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.json [repeats]\n", argv[0]);
    return 2;
  }
  const int repeats = argc > 2 ? std::stoi(argv[2]) : 3;
  std::string text;
  const double read_s = best_seconds(repeats, [&] { text = varnel::files::read_text(argv[1]); });
  report("read bytes (floor)", text.size(), read_s);

  varnel::json::Value value;
  const double parse_s = best_seconds(repeats, [&] { value = varnel::json::parse(text); });
  report("parse", text.size(), parse_s);

  std::string out;
  const double pretty_s = best_seconds(repeats, [&] { out = varnel::json::dumps(value, varnel::json::kPretty); });
  report("write indented", out.size(), pretty_s);
  const bool same = out == text;

  const double canonical_s =
      best_seconds(repeats, [&] { out = varnel::json::dumps(value, varnel::json::kCanonical); });
  report("write canonical", out.size(), canonical_s);

  std::printf("indented output %s the input\n", same ? "is byte-identical to" : "DIFFERS from");
  return same ? 0 : 1;
}
