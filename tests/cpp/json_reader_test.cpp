#include "common/json_reader.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/errors.hpp"

using namespace varnel;
using json::Value;

TEST(JsonReader, KeepsIntegerAndRealKinds) {
  const Value v = json::parse("[1, 1.0, -0, 1e2, 9223372036854775807, 9223372036854775808]");
  const auto& a = v.as_array();
  EXPECT_TRUE(a[0].is_int());
  EXPECT_TRUE(a[1].is_real());
  EXPECT_TRUE(a[2].is_int());
  EXPECT_TRUE(a[3].is_real());
  EXPECT_EQ(a[4].as_int(), INT64_MAX);
  ASSERT_TRUE(a[5].is_bigint());
  EXPECT_EQ(a[5].as_bigint().digits, "9223372036854775808");
}

TEST(JsonReader, AcceptsNonFiniteAndOutOfRangeReals) {
  const Value v = json::parse("[NaN, Infinity, -Infinity, 1e400, -1e400, 1e-400, -1e-400]");
  const auto& a = v.as_array();
  EXPECT_TRUE(std::isnan(a[0].as_real()));
  EXPECT_EQ(a[1].as_real(), INFINITY);
  EXPECT_EQ(a[2].as_real(), -INFINITY);
  EXPECT_EQ(a[3].as_real(), INFINITY);
  EXPECT_EQ(a[4].as_real(), -INFINITY);
  EXPECT_EQ(a[5].as_real(), 0.0);
  EXPECT_TRUE(std::signbit(a[6].as_real()));
}

TEST(JsonReader, DuplicateKeyKeepsFirstPositionAndLastValue) {
  const Value v = json::parse(R"({"b": 1, "a": 2, "b": 3})");
  const auto& obj = v.as_object();
  ASSERT_EQ(obj.size(), 2u);
  EXPECT_EQ(obj.begin()->key, "b");
  EXPECT_EQ(obj.at("b"), Value(3));
}

TEST(JsonReader, DecodesEscapesAndSurrogates) {
  EXPECT_EQ(json::parse(R"("a\n\u00e9\ud83d\ude00")").as_string(), "a\n\xC3\xA9\xF0\x9F\x98\x80");
  // A lone surrogate is kept in its generalised UTF-8 form.
  EXPECT_EQ(json::parse(R"("\ud800")").as_string(), "\xED\xA0\x80");
}

TEST(JsonReader, ReportsPositionsInCharacters) {
  try {
    json::parse("{\"\xC3\xA9\": 1,\n  \"b\" 2}", {.source = "ev.json"});
    FAIL();
  } catch (const JsonDecodeError& e) {
    EXPECT_EQ(e.reason, "Expecting ':' delimiter");
    EXPECT_EQ(e.position, 15u);
    EXPECT_EQ(e.line, 2u);
    EXPECT_EQ(e.column, 7u);
    EXPECT_EQ(std::string(e.what()), "ev.json: Expecting ':' delimiter: line 2 column 7 (char 15)");
  }
}

TEST(JsonReader, RejectsInvalidUtf8BeforeSyntax) {
  EXPECT_THROW(json::parse("\"\xFF\""), Utf8DecodeError);
  EXPECT_THROW(json::parse("[1] \xFF"), Utf8DecodeError);
  // Encoded surrogates are not UTF-8 in a file, but a host's text may hold them.
  EXPECT_THROW(json::parse("\"\xED\xA0\x80\""), Utf8DecodeError);
  EXPECT_EQ(json::parse("\"\xED\xA0\x80\"", {.source = "", .allow_surrogates = true}).as_string(), "\xED\xA0\x80");
}

TEST(JsonReader, RejectsMalformedText) {
  for (const char* bad : {"", "[1,]", "{\"a\":1,}", "01", "[1 2]", "\"abc", "\"\\x\"", "tru", "-", "1."}) {
    EXPECT_THROW(json::parse(bad), JsonDecodeError) << bad;
  }
  EXPECT_THROW(json::parse(std::string(100000, '[')), JsonDecodeError);
}

TEST(JsonReader, ProjectionBuildsOnlyTheNamedMembers) {
  const json::Projection deviation{{{"measure"}}};
  const json::Projection record{{{"metric"}, {"deviation", &deviation}, {"tags"}}};
  const json::Projection file{{}, &record};
  const char* text = R"([{"metric": "a", "baseline": {"mean": 1, "x": [1, {"y": null}]}, "deviation":
      {"unit": "u", "measure": 1.5, "measure": 2}, "tags": ["t", {"k": 1}]}, 7, {"baseline": "\u00e9"}])";
  const Value v = json::parse(text, {.source = "", .allow_surrogates = false, .projection = &file});
  EXPECT_EQ(v, json::parse(R"([{"metric": "a", "deviation": {"measure": 2}, "tags": ["t", {"k": 1}]}, 7, {}])"));
  // A value already read, projected, is what reading it under the projection builds.
  EXPECT_EQ(json::project(json::parse(text), file), v);
  EXPECT_EQ(json::project(json::parse(R"({"tags": 1, "metric": 2})"), record), json::parse(R"({"tags": 1, "metric": 2})"));
}

TEST(JsonReader, ProjectionChecksWhatItLeavesOut) {
  const json::Projection nothing{};
  const json::Projection file{{}, &nothing};
  const json::ReadOptions options{.source = "f.json", .allow_surrogates = false, .projection = &file};
  for (const char* bad : {R"([{"a": [1,]}])", R"([{"a": "\x"}])", R"([{"a": 01}])", R"([{"a": tru}])",
                          R"([{"a" 1}])", R"([{"a": {"b": 1,}}])", R"([{"a": "\ud8"}])", R"([{"a": [1 2]}])"}) {
    // The same failure, at the same place, as reading everything.
    try {
      json::parse(bad);
      FAIL() << bad;
    } catch (const JsonDecodeError& whole) {
      try {
        json::parse(bad, options);
        FAIL() << bad;
      } catch (const JsonDecodeError& part) {
        EXPECT_EQ(part.reason, whole.reason) << bad;
        EXPECT_EQ(part.position, whole.position) << bad;
      }
    }
  }
  EXPECT_THROW(json::parse("[{\"a\": \"\xFF\"}]", options), Utf8DecodeError);
  EXPECT_THROW(json::parse("[" + std::string(10000, '[') + std::string(10000, ']') + "]", options), JsonDecodeError);
  EXPECT_EQ(json::parse(R"([{"a": [NaN, -Infinity, -0.5e3, "\ud83d\ude00"]}])", options), json::parse("[{}]"));
}

TEST(JsonReader, ElementsAreHandedOverOneAtATimeAsParseReadsThem) {
  const char* text = R"(  [{"metric": "a", "x": [1, 2]}, 7, "t", [], {"metric": "b", "metric": "c"}]  )";
  std::vector<Value> handed;
  EXPECT_TRUE(json::parse_elements(text, {}, [&](Value&& v) { handed.push_back(std::move(v)); }));
  EXPECT_EQ(Value(json::Array(handed.begin(), handed.end())), json::parse(text));

  const json::Projection record{{{"metric"}}};
  const json::Projection file{{}, &record};
  handed.clear();
  json::parse_elements(text, {.source = "", .allow_surrogates = false, .projection = &file},
                       [&](Value&& v) { handed.push_back(std::move(v)); });
  EXPECT_EQ(Value(json::Array(handed.begin(), handed.end())),
            json::parse(text, {.source = "", .allow_surrogates = false, .projection = &file}));

  handed.clear();
  EXPECT_TRUE(json::parse_elements(" [ ] ", {}, [&](Value&& v) { handed.push_back(std::move(v)); }));
  EXPECT_FALSE(json::parse_elements(R"({"a": [1]})", {}, [&](Value&& v) { handed.push_back(std::move(v)); }));
  EXPECT_TRUE(handed.empty());
}

TEST(JsonReader, ElementsFailAsParseFailsWhereTheFaultLies) {
  for (const char* bad : {"[1, 2,]", "[1, 2] 3", "\xEF\xBB\xBF[1]", "[1, 2", "{\"a\": }", "[1, \"\xFF\"]"}) {
    std::string whole, elements;
    try {
      json::parse(bad);
    } catch (const Error& e) {
      whole = e.what();
    }
    int handed = 0;
    try {
      json::parse_elements(bad, {}, [&](Value&&) { ++handed; });
    } catch (const Error& e) {
      elements = e.what();
    }
    EXPECT_FALSE(whole.empty()) << bad;
    EXPECT_EQ(elements, whole) << bad;
  }
}
