// The floor of the signal engine's runs: listing the events directory and
// reading and parsing every event file once, on one thread.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/json_reader.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s EVENTS_DIR\n", argv[0]);
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1])) names.push_back(entry.path().string());
  std::size_t members = 0;
  for (const std::string& name : names) members += varnel::json::read_file(name).as_object().size();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%zu %.6f %zu\n", names.size(), seconds, members);
  return 0;
}
