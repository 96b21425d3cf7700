// Reading the signal files the explanation and advisory engines read: one
// per source family, as the signal engine writes them, in the vocabulary's
// order (vocab::kSignalFiles).
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>

#include "common/json_reader.hpp"
#include "common/json_value.hpp"

namespace varnel::workspace {

// Every signal record of the signal files in `phase2_path`, files in table
// order (absent ones skipped), records in file order, as parsed (only the
// fields `keep` names, when given). A file that is not a JSON array fails
// with TypeMismatchError.
json::Array load_signal_files(const std::filesystem::path& phase2_path, const json::Projection* keep = nullptr);

// How many signal records the files hold, read through as load_signal_files
// reads them (and failing as it fails) but without building the records.
std::size_t count_signal_files(const std::filesystem::path& phase2_path);

// Hands each signal record (only the fields `keep` names, when given) to
// `each` in load_signal_files' order, one at a time, so that no more than
// one is held. It fails as load_signal_files fails, but a fault is met only
// where it lies, after the records before it were handed over.
void for_each_signal(const std::filesystem::path& phase2_path, const std::function<void(json::Value&&)>& each,
                     const json::Projection* keep = nullptr);

}  // namespace varnel::workspace
