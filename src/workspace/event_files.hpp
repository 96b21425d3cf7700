// The event files of a workspace: every "*.json" file of its events folder
// holds one event.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace varnel::workspace {

// The names of the event files of `dir` in the order the directory lists
// them; none when the directory does not exist (OsError for any other
// failure to list it).
std::vector<std::string> event_files_as_listed(const std::filesystem::path& dir);

// The same names in ascending order, so that a later file carrying the same
// event wins on every machine.
std::vector<std::string> list_event_files(const std::filesystem::path& dir);

}  // namespace varnel::workspace
