// The floor of an engine's run, on one thread: reading and parsing every
// input once (the event files, signal files, explanations) and, after
// --write, writing each output once as the engines do, atomically in the
// indented file form. A directory stands for its files; a file that is not
// JSON (the knowledge base) is read and written as bytes. The outputs'
// contents are read before the clock starts, as an engine holds its results
// before it writes them.
//
//   event_floor READ... [--write INTO OUTPUT...]
//
// Prints the number of files read, the seconds and their top-level entries.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/files.hpp"
#include "common/json_reader.hpp"
#include "common/json_writer.hpp"

namespace fs = std::filesystem;
using varnel::json::Value;

namespace {

std::vector<fs::path> files_of(const std::vector<std::string>& paths) {
  std::vector<fs::path> out;
  for (const std::string& path : paths) {
    if (!fs::is_directory(path)) {
      out.emplace_back(path);
      continue;
    }
    for (const auto& entry : fs::directory_iterator(path)) {
      if (entry.is_regular_file()) out.push_back(entry.path());
    }
  }
  return out;
}

bool is_json(const fs::path& path) { return path.extension() == ".json"; }

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> reads;
  std::vector<std::string> writes;
  std::string into;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--write" && i + 1 < argc) {
      into = argv[++i];
      writes.assign(argv + i + 1, argv + argc);
      break;
    }
    reads.emplace_back(argv[i]);
  }
  if (reads.empty()) {
    std::fprintf(stderr, "usage: %s READ... [--write INTO OUTPUT...]\n", argv[0]);
    return 2;
  }
  std::vector<std::pair<fs::path, std::variant<Value, std::string>>> outputs;
  for (const fs::path& path : files_of(writes)) {
    if (is_json(path)) {
      outputs.emplace_back(fs::path(into) / path.filename(), varnel::json::read_file(path));
    } else {
      outputs.emplace_back(fs::path(into) / path.filename(), varnel::files::read_text(path));
    }
  }

  const auto start = std::chrono::steady_clock::now();
  const std::vector<fs::path> names = files_of(reads);
  std::size_t entries = 0;
  for (const fs::path& name : names) {
    if (!is_json(name)) {
      entries += varnel::files::read_text(name).empty() ? 0 : 1;
      continue;
    }
    const Value value = varnel::json::read_file(name);
    entries += value.is_object() ? value.as_object().size() : value.is_array() ? value.as_array().size() : 1;
  }
  for (const auto& [path, content] : outputs) {
    if (const Value* value = std::get_if<Value>(&content)) {
      varnel::files::write_atomic(path, varnel::json::dumps(*value, varnel::json::kPretty));
    } else {
      varnel::files::write_atomic(path, std::get<std::string>(content));
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%zu %.6f %zu\n", names.size(), seconds, entries);
  return 0;
}
