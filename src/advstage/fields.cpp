// Field access with the defaults of Phase 5's records.
#include "advstage/fields.hpp"

#include "common/errors.hpp"
#include "common/number_format.hpp"
#include "common/utf8.hpp"

namespace varnel::advstage {

namespace {

[[noreturn]] void wrong_kind(std::string_view key, const char* wanted, const Value& got) {
  throw TypeMismatchError(std::string(key) + " must be " + wanted + ", not " + json::kind_name(got.kind()));
}

}  // namespace

const Value* field(const Value& record, std::string_view key) {
  if (!record.is_object()) {
    throw TypeMismatchError(std::string("expected an object with '") + std::string(key) + "', not " +
                            json::kind_name(record.kind()));
  }
  const Value* v = record.as_object().find(key);
  return v == nullptr || v->is_null() ? nullptr : v;
}

const Value& required(const Value& record, std::string_view key) { return record.at(key); }

const json::Array& required_list(const Value& record, std::string_view key) {
  const Value& v = required(record, key);
  if (!v.is_array()) wrong_kind(key, "a list", v);
  return v.as_array();
}

const Value& object_field(const Value& record, std::string_view key) {
  const Value* v = field(record, key);
  if (v == nullptr) return empty_object();
  if (!v->is_object()) wrong_kind(key, "an object", *v);
  return *v;
}

const json::Array& list_field(const Value& record, std::string_view key) {
  const Value* v = field(record, key);
  if (v == nullptr) return empty_list().as_array();
  if (!v->is_array()) wrong_kind(key, "a list", *v);
  return v->as_array();
}

Value value_or(const Value& record, std::string_view key, Value fallback) {
  const Value* v = field(record, key);
  return v != nullptr ? *v : std::move(fallback);
}

std::string text_field(const Value& record, std::string_view key, std::string_view fallback) {
  const Value* v = field(record, key);
  return v != nullptr ? text_of(*v) : std::string(fallback);
}

std::string text_of(const Value& v) { return v.is_string() ? v.as_string() : numfmt::plain(v); }

std::string_view prefix(std::string_view text, std::size_t count) {
  std::size_t i = 0;
  for (std::size_t n = 0; n < count && i < text.size(); ++n) utf8::decode(text, i);
  return text.substr(0, i);
}

std::string_view first_line(std::string_view text) { return text.substr(0, text.find('\n')); }

void append_files(json::Object& record, std::string_view key, const json::Array& files) {
  if (files.size() <= kFilesListed) {
    record.append(std::string(key), files);
    return;
  }
  record.append(std::string(key), json::Array(files.begin(), files.begin() + kFilesListed));
  record.append(std::string(key) + "_not_listed", static_cast<std::int64_t>(files.size() - kFilesListed));
}

const Value& empty_object() {
  static const Value empty{json::Object{}};
  return empty;
}

const Value& empty_list() {
  static const Value empty{json::Array{}};
  return empty;
}

}  // namespace varnel::advstage
