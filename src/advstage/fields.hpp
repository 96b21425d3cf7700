// Reading the records Phase 5 works on (events, signals, changes, matches).
// An optional field reads as its default when it is absent or null, since
// collectors leave nulls where they found nothing; a required field that is
// absent fails naming it. Values shown in text are shown in their plain form.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/json_value.hpp"

namespace varnel::advstage {

using json::Value;

// The member `key` of the object `record`, or nullptr when it is absent or
// null. Throws TypeMismatchError when `record` is not an object.
const Value* field(const Value& record, std::string_view key);

// The member `key` of the object `record`, null included; throws
// MissingKeyError naming it when absent.
const Value& required(const Value& record, std::string_view key);

// The list member `key`; throws MissingKeyError when absent and
// TypeMismatchError when it is not a list.
const json::Array& required_list(const Value& record, std::string_view key);

// The object member `key`, or an empty object when absent or null. Throws
// TypeMismatchError for another kind.
const Value& object_field(const Value& record, std::string_view key);

// The list member `key`, or an empty list when absent or null. Throws
// TypeMismatchError for another kind.
const json::Array& list_field(const Value& record, std::string_view key);

// A copy of the member `key`, or `fallback` when absent or null.
Value value_or(const Value& record, std::string_view key, Value fallback);

// The plain text of the member `key`, or `fallback` when absent or null.
std::string text_field(const Value& record, std::string_view key, std::string_view fallback = "");

// A value's plain text: text as is, numbers as a host prints them.
std::string text_of(const Value& v);

// The first `count` characters (code points) of UTF-8 text.
std::string_view prefix(std::string_view text, std::size_t count);

// The text before the first "\n".
std::string_view first_line(std::string_view text);

// A record lists at most this many files of one commit: a commit of a
// hundred thousand files would otherwise repeat them in every change and
// evidence entry it gives.
inline constexpr std::size_t kFilesListed = 100;

// Appends `files` under `key`, cut to kFilesListed, and when cut the number
// of the rest under `key` + "_not_listed".
void append_files(json::Object& record, std::string_view key, const json::Array& files);

// The empty object and the empty list, for defaults.
const Value& empty_object();
const Value& empty_list();

}  // namespace varnel::advstage
