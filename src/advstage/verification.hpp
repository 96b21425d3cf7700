// The report of what a fix achieved: an earlier advisory compared with the
// current one, as a record and as text.
#pragma once

#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

#include "advstage/ports.hpp"
#include "common/json_value.hpp"

namespace varnel::advstage {

// An earlier advisory file as it was when verification began: whether it
// existed, and its text or the failure to read it.
struct PreviousAdvisory {
  bool exists = false;
  std::string text;
  std::exception_ptr error;
};

// Reads the file at `path` now; reading failures are kept for later.
PreviousAdvisory snapshot_previous_advisory(const std::filesystem::path& path);

// The advisory record of a snapshot: its decoded JSON, an object or null.
// Rethrows a kept reading failure (a missing file fails as one); fails on
// anything else decoded.
json::Value decode_previous_advisory(const PreviousAdvisory& previous, const std::filesystem::path& path);

// The difference record of two advisory records from `history`: both must
// be objects, and the result an object or null.
json::Value diff_advisories(const json::Value& before, const json::Value& after, AdvisoryHistory& history);

// The verification record of two advisories and their difference record.
json::Value verification_record(const json::Value& before, const json::Value& after, const json::Value& diff,
                                std::string_view scope, std::string generated_at);

// The text of verification.txt.
std::string verification_summary(const json::Value& before, const json::Value& after, const json::Value& diff,
                                 AdvisoryLanguage& language);

}  // namespace varnel::advstage
