#include "lorekeep/sqlite_knowledge_store.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

namespace fs = std::filesystem;
using namespace varnel;
using json::Value;
using lorekeep::SQLiteKnowledgeStore;

namespace {

json::Object candidate(std::string fingerprint) {
  json::Object p;
  p.append("fingerprint", std::move(fingerprint));
  p.append("discovery_method", "cooccurrence");
  p.append("pattern_type", "co_deviation");
  p.append("sources", json::Array{Value("ci"), Value("git")});
  p.append("metrics", json::Array{Value("a"), Value("b")});
  return p;
}

}  // namespace

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("varnel-store-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

// A C++ engine drives the store through the interface alone.
TEST_F(StoreTest, ServesACallerWithoutPython) {
  SQLiteKnowledgeStore sqlite_store(dir_ / "nested" / "knowledge.db");
  lorekeep::KnowledgeStoreBase& store = sqlite_store;
  const std::string id = store.create_pattern(candidate("fp"));
  EXPECT_EQ(id.size(), 16u);
  store.increment_pattern(id, json::Array{Value("ref-1")}, "2026-01-01T00:00:00Z");
  const Value found = store.get_pattern_by_fingerprint("fp", std::nullopt);
  ASSERT_TRUE(found.is_object());
  EXPECT_EQ(found.at("occurrence_count"), Value(2));
  EXPECT_EQ(found.at("sources").as_array().size(), 2u);
  EXPECT_EQ(store.get_pattern_history(id).as_array().size(), 2u);
  EXPECT_TRUE(store.get_knowledge("none").is_null());
  EXPECT_TRUE(store.list_knowledge(std::nullopt).as_array().empty());
}
