// varnel.lorekeep: the knowledge base. KnowledgeStoreBase is the abstract
// interface (Python subclasses implement it, and C++ callers reach their
// overrides); SQLiteKnowledgeStore is the SQLite backend. The GIL is released
// while the store works, since a write may wait seconds for a lock.
#include <nanobind/trampoline.h>

#include <array>
#include <string>
#include <vector>

#include "bindings/glue/errors.hpp"
#include "bindings/glue/imports.hpp"
#include "bindings/glue/nb.hpp"
#include "bindings/glue/python_call.hpp"
#include "lorekeep/knowledge_store_base.hpp"
#include "lorekeep/sqlite_knowledge_store.hpp"

namespace vb = varnel::bindings;
namespace json = varnel::json;
using varnel::lorekeep::KnowledgeStoreBase;
using varnel::lorekeep::SQLiteKnowledgeStore;

namespace {

// The interface's operations, each abstract, in name order.
constexpr std::array<const char*, 14> kOperations = {
    "create_knowledge",     "create_pattern",    "expire_pattern", "get_decayed_patterns",
    "get_knowledge",        "get_knowledge_by_fingerprint",        "get_pattern",
    "get_pattern_by_fingerprint",                "get_pattern_history", "get_pattern_signals",
    "increment_pattern",    "list_knowledge",    "list_patterns",  "update_pattern"};

// Forwards every operation to the Python subclass that implements it.
struct StoreOverrides : KnowledgeStoreBase {
  NB_TRAMPOLINE(KnowledgeStoreBase);

  std::string create_pattern(const json::Object& pattern) override { NB_OVERRIDE_PURE(create_pattern, pattern); }
  json::Value get_pattern(std::string_view pattern_id) override { NB_OVERRIDE_PURE(get_pattern, pattern_id); }
  json::Value get_pattern_by_fingerprint(std::string_view fingerprint, std::optional<std::string_view> scope) override {
    NB_OVERRIDE_PURE(get_pattern_by_fingerprint, fingerprint, scope);
  }
  void update_pattern(std::string_view pattern_id, const json::Object& updates) override {
    NB_OVERRIDE_PURE(update_pattern, pattern_id, updates);
  }
  void increment_pattern(std::string_view pattern_id, const json::Array& signal_refs,
                         std::string_view observed_at) override {
    NB_OVERRIDE_PURE(increment_pattern, pattern_id, signal_refs, observed_at);
  }
  json::Value list_patterns(std::optional<std::string_view> scope, std::optional<std::string_view> confidence_tier,
                            std::optional<std::int64_t> min_occurrences) override {
    NB_OVERRIDE_PURE(list_patterns, scope, confidence_tier, min_occurrences);
  }
  std::string create_knowledge(const json::Object& knowledge) override {
    NB_OVERRIDE_PURE(create_knowledge, knowledge);
  }
  json::Value get_knowledge(std::string_view knowledge_id) override { NB_OVERRIDE_PURE(get_knowledge, knowledge_id); }
  json::Value get_knowledge_by_fingerprint(std::string_view fingerprint, std::string_view scope) override {
    NB_OVERRIDE_PURE(get_knowledge_by_fingerprint, fingerprint, scope);
  }
  json::Value list_knowledge(std::optional<std::string_view> scope) override {
    NB_OVERRIDE_PURE(list_knowledge, scope);
  }
  json::Value get_pattern_signals(std::string_view pattern_id) override {
    NB_OVERRIDE_PURE(get_pattern_signals, pattern_id);
  }
  json::Value get_pattern_history(std::string_view pattern_id) override {
    NB_OVERRIDE_PURE(get_pattern_history, pattern_id);
  }
  json::Value get_decayed_patterns(std::int64_t decay_window_days) override {
    NB_OVERRIDE_PURE(get_decayed_patterns, decay_window_days);
  }
  void expire_pattern(std::string_view pattern_id) override { NB_OVERRIDE_PURE(expire_pattern, pattern_id); }
};

// Refuses to make an instance of a class that leaves any operation abstract,
// as an abstract base class does, naming the missing ones in order.
void refuse_abstract(const nb::object& self) {
  const nb::object cls = nb::borrow(self.type());
  const nb::object base = nb::borrow(nb::type<KnowledgeStoreBase>());
  std::vector<const char*> missing;
  for (const char* name : kOperations) {
    if (cls.attr(name).is(base.attr(name))) missing.push_back(name);
  }
  if (missing.empty()) return;
  std::string message = "Can't instantiate abstract class " + nb::cast<std::string>(cls.attr("__name__")) +
                        " with abstract method" + (missing.size() > 1 ? "s " : " ");
  for (std::size_t i = 0; i < missing.size(); ++i) message += (i > 0 ? ", " : "") + std::string(missing[i]);
  throw nb::type_error(message.c_str());
}

}  // namespace

NB_MODULE(lorekeep, m) {
  vb::register_error_translator();
  m.doc() = "The knowledge base: patterns, knowledge, their evidence and audit history in one SQLite file.";
  using vb::without_gil;

  nb::class_<KnowledgeStoreBase, StoreOverrides>(
      m, "KnowledgeStoreBase", "Abstract interface of a knowledge base backend; subclasses implement every operation.")
      .def("__init__",
           [](nb::pointer_and_handle<KnowledgeStoreBase> self) {
             refuse_abstract(nb::borrow(self.h));
             new (self.p) StoreOverrides();
           })
      .def("create_pattern", &KnowledgeStoreBase::create_pattern, nb::arg("pattern"), without_gil(),
           "Store a pattern (or revive an expired one); returns its id.")
      .def("get_pattern", &KnowledgeStoreBase::get_pattern, nb::arg("pattern_id"), without_gil(),
           "The pattern with this id, expired or not, or None.")
      .def("get_pattern_by_fingerprint", &KnowledgeStoreBase::get_pattern_by_fingerprint, nb::arg("fingerprint"),
           nb::arg("scope").none() = "local", without_gil(),
           "An active pattern with this fingerprint in scope, or None.")
      .def("update_pattern", &KnowledgeStoreBase::update_pattern, nb::arg("pattern_id"), nb::arg("updates"),
           without_gil(), "Change the updatable fields named in updates; other keys are dropped.")
      .def("increment_pattern", &KnowledgeStoreBase::increment_pattern, nb::arg("pattern_id"),
           nb::arg("signal_refs"), nb::arg("observed_at"), without_gil(),
           "Count one more occurrence seen at observed_at and link its signals.")
      .def("list_patterns", &KnowledgeStoreBase::list_patterns, nb::arg("scope").none() = nb::none(),
           nb::arg("confidence_tier").none() = nb::none(), nb::arg("min_occurrences").none() = nb::none(),
           without_gil(), "Active patterns, most recently seen first, filtered by the values given.")
      .def("create_knowledge", &KnowledgeStoreBase::create_knowledge, nb::arg("knowledge"), without_gil(),
           "Promote a pattern to knowledge; returns the knowledge id.")
      .def("get_knowledge", &KnowledgeStoreBase::get_knowledge, nb::arg("knowledge_id"), without_gil(),
           "The knowledge with this id, or None.")
      .def("get_knowledge_by_fingerprint", &KnowledgeStoreBase::get_knowledge_by_fingerprint,
           nb::arg("fingerprint"), nb::arg("scope") = "local", without_gil(),
           "Knowledge with this fingerprint in scope, or None.")
      .def("list_knowledge", &KnowledgeStoreBase::list_knowledge, nb::arg("scope").none() = nb::none(), without_gil(),
           "All knowledge of scope (every scope when None or empty), most recent first.")
      .def("get_pattern_signals", &KnowledgeStoreBase::get_pattern_signals, nb::arg("pattern_id"), without_gil(),
           "The signals linked to a pattern, oldest observation first.")
      .def("get_pattern_history", &KnowledgeStoreBase::get_pattern_history, nb::arg("pattern_id"), without_gil(),
           "The audit entries filed under a pattern id, in timestamp order.")
      .def("get_decayed_patterns", &KnowledgeStoreBase::get_decayed_patterns, nb::arg("decay_window_days"),
           without_gil(), "Active patterns last seen more than decay_window_days ago, oldest first.")
      .def("expire_pattern", &KnowledgeStoreBase::expire_pattern, nb::arg("pattern_id"), without_gil(),
           "Mark a pattern expired.");

  nb::class_<SQLiteKnowledgeStore, KnowledgeStoreBase>(
      m, "SQLiteKnowledgeStore",
      "The SQLite backend: one database file, write-ahead logging, every write operation atomic. "
      "The store belongs to the thread that made it.")
      .def(
          "__init__",
          [](SQLiteKnowledgeStore* self, std::filesystem::path db_path) {
            nb::gil_scoped_release released;
            new (self) SQLiteKnowledgeStore(std::move(db_path));
          },
          nb::arg("db_path"))
      .def_prop_ro("db_path", &SQLiteKnowledgeStore::db_path, "Path of the database file.")
      .def("get_pattern_by_fingerprint", &SQLiteKnowledgeStore::get_pattern_by_fingerprint, nb::arg("fingerprint"),
           nb::arg("scope").none() = nb::none(), without_gil(),
           "An active pattern with this fingerprint in scope (any scope when None or empty), or None.")
      .def("close", &SQLiteKnowledgeStore::close, without_gil(), "Close the connection; it commits nothing.")
      // Kept for callers of the store's internals.
      .def("_log_history", &SQLiteKnowledgeStore::log_history, nb::arg("pattern_id"), nb::arg("action"),
           nb::arg("details").none() = nb::none(), without_gil(),
           "Append one audit entry; an empty or missing details map is stored as NULL.")
      .def_static("_content_hash", &SQLiteKnowledgeStore::content_hash, nb::arg("data"),
                  "16-digit content identifier of data, independent of key order.")
      .def_static("_now", &SQLiteKnowledgeStore::now, "Current UTC time as the store writes timestamps.")
      .def_static(
          "_row_to_dict",
          [](const nb::object& row) {
            // Any mapping (a sqlite3.Row included) becomes a dict in column order.
            const nb::object dict = vb::import_module(vb::PythonModule::Builtins).attr("dict")(row);
            json::Value record = vb::from_python(dict);
            return SQLiteKnowledgeStore::row_to_dict(std::move(record.as_object()));
          },
          nb::arg("row"), "The row as a dict, with its sources, metrics and details texts decoded from JSON.");
}
