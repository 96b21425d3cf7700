// Reading the signal files the explanation and advisory engines read: one
// per source family, as the signal engine writes them, in the vocabulary's
// order (vocab::kSignalFiles).
#pragma once

#include <filesystem>

#include "common/json_reader.hpp"
#include "common/json_value.hpp"

namespace varnel::workspace {

// Every signal record of the signal files in `phase2_path`, files in table
// order (absent ones skipped), records in file order, as parsed (only the
// fields `keep` names, when given). A file that is not a JSON array fails
// with TypeMismatchError.
json::Array load_signal_files(const std::filesystem::path& phase2_path, const json::Projection* keep = nullptr);

}  // namespace varnel::workspace
