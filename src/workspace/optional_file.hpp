// Reading a JSON file that an earlier phase may not have written.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "common/json_reader.hpp"
#include "common/json_value.hpp"

namespace varnel::workspace {

// The parsed file (only the fields `keep` names, when given), or nothing
// when it, or a folder on its path, does not exist. Any other failure to
// read or decode it propagates.
std::optional<json::Value> read_if_present(const std::filesystem::path& path,
                                           const json::Projection* keep = nullptr);

// The file's text, or nothing when it, or a folder on its path, does not
// exist. Any other failure to read it propagates.
std::optional<std::string> read_text_if_present(const std::filesystem::path& path);

}  // namespace varnel::workspace
