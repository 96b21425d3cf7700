// Payload field access with errors that name the event file and the field.
#include "sigstage/payload_reader.hpp"

#include <cmath>

#include "common/errors.hpp"
#include "common/json_logic.hpp"

namespace varnel::sig {

PayloadReader::PayloadReader(const json::Value& event, const std::string& file) : file_(file) {
  if (!event.is_object()) throw TypeMismatchError(file + ": the event is not a JSON object");
  payload_ = event.as_object().find("payload");
  if (payload_ == nullptr) throw MissingKeyError("payload");
  if (!payload_->is_object()) {
    throw TypeMismatchError(file + ": payload must be an object, not " + json::kind_name(payload_->kind()));
  }
}

std::string PayloadReader::describe(Path path, std::size_t depth) const {
  std::string out = file_ + ": payload";
  for (std::string_view p : path) {
    if (depth-- == 0) break;
    out.push_back('.');
    out.append(p);
  }
  return out;
}

const json::Value* PayloadReader::find(Path path) const {
  const json::Value* cur = payload_;
  std::size_t depth = 0;
  for (std::string_view key : path) {
    if (!cur->is_object()) {
      throw TypeMismatchError(describe(path, depth) + " must be an object, not " + json::kind_name(cur->kind()));
    }
    cur = cur->as_object().find(key);
    if (cur == nullptr) return nullptr;
    ++depth;
  }
  return cur;
}

MetricValue PayloadReader::copied(Path path, const Num& fallback) const {
  const json::Value* v = find(path);
  if (v == nullptr) return MetricValue::of(fallback);
  if (v->is_bool()) throw TypeMismatchError(describe(path) + " must be a number, not bool");
  if (!v->is_number() && !v->is_null()) {
    return MetricValue::invalid(describe(path) + " must be a number, not " + json::kind_name(v->kind()));
  }
  if (v->is_real()) return MetricValue::of_real(v->as_real());
  const std::optional<Num> n = pyexact::num_from_json(*v, describe(path));
  return n ? MetricValue::of(*n) : MetricValue::null();
}

Num PayloadReader::operand(Path path, const Num& fallback) const {
  const json::Value* v = find(path);
  if (v == nullptr) return fallback;
  if (v->is_real()) return Num::real(v->as_real());
  if (!v->is_number()) throw TypeMismatchError(describe(path) + " must be a number, not " + json::kind_name(v->kind()));
  return *pyexact::num_from_json(*v, describe(path));
}

bool PayloadReader::truthy(Path path) const {
  const json::Value* v = find(path);
  return v != nullptr && json::truthy(*v);
}

const json::Array* PayloadReader::list(Path path) const {
  const json::Value* v = find(path);
  if (v == nullptr) return nullptr;
  if (!v->is_array()) throw TypeMismatchError(describe(path) + " must be a list, not " + json::kind_name(v->kind()));
  return &v->as_array();
}

Num at_least_one(const Num& t) {
  const Num one = Num::integer(1);
  return compare(one, t) == 1 ? one : t;
}

}  // namespace varnel::sig
