#include "common/json_writer.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "common/content_id.hpp"
#include "common/json_reader.hpp"

using namespace varnel;
using json::Value;

TEST(JsonWriter, PrettyFormLaysOutOneItemPerLine) {
  const Value v = json::parse(R"({"a": [1, 2.0], "b": {}, "c": [], "d": "\u2014"})");
  EXPECT_EQ(json::dumps(v, json::kPretty),
            "{\n  \"a\": [\n    1,\n    2.0\n  ],\n  \"b\": {},\n  \"c\": [],\n  \"d\": \"\\u2014\"\n}");
}

TEST(JsonWriter, CanonicalFormSortsKeysByCodePoint) {
  const Value v = json::parse(R"({"b": 1, "\u00e9": 2, "a": {"z": null, "y": true}})");
  EXPECT_EQ(json::dumps(v, json::kCanonical), R"({"a":{"y":true,"z":null},"b":1,"\u00e9":2})");
}

TEST(JsonWriter, StoredFormUsesSpacedSeparators) {
  EXPECT_EQ(json::dumps(json::parse(R"({"a": [1, 2]})"), json::kStored), R"({"a": [1, 2]})");
}

TEST(JsonWriter, EscapesControlsAndAstralCharacters) {
  const Value v(std::string("\x01\x7f\t\"\\\xF0\x9F\x98\x80\xED\xA0\x80"));
  EXPECT_EQ(json::dumps(v, json::kCanonical), R"("\u0001\u007f\t\"\\\ud83d\ude00\ud800")");
}

TEST(JsonWriter, RealsInShortestFormWithExponentSwitches) {
  const Value v(json::Array{Value(0.1), Value(1e-4), Value(1e-5), Value(1e16), Value(1.5e16), Value(-0.0),
                            Value(12.0), Value(NAN), Value(-INFINITY), Value(json::BigInt{"-123456789012345678901"})});
  EXPECT_EQ(json::dumps(v, json::kCanonical),
            "[0.1,0.0001,1e-05,1e+16,1.5e+16,-0.0,12.0,NaN,-Infinity,-123456789012345678901]");
}

TEST(ContentId, IsSha256OfCanonicalText) {
  // The component list of two signals, as fingerprinted by the pattern engine.
  const Value components = json::parse(R"([["ci","run_duration","increased"],["git","files_touched","increased"]])");
  EXPECT_EQ(content_id(components, 16), "fff7fdc968c86d3c");
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}
