#include "explstage/summary_template.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "common/errors.hpp"
#include "common/json_reader.hpp"

using namespace varnel;
using json::Value;

namespace {

// Records every call and answers with fixed texts.
class FakeHelper : public vocab::PlainLanguage {
 public:
  std::vector<std::string> calls;

  std::string relative_change(const Value&, const Value&) override {
    calls.push_back("relative_change");
    return "CHANGE";
  }
  std::optional<std::string> metric_insight(const Value&, std::string_view direction) override {
    calls.push_back("metric_insight " + std::string(direction));
    return std::nullopt;
  }
};

Value signal(std::string_view metric, std::string_view observed, std::string_view baseline,
             std::string_view extra = "") {
  std::string text = R"({"metric": ")" + std::string(metric) + R"(", "observed": )" + std::string(observed) +
                     R"(, "baseline": )" + std::string(baseline) +
                     R"(, "window": {"type": "rolling", "size": 50}, "confidence": {"status": "sufficient"})" +
                     std::string(extra) + "}";
  return json::parse(text);
}

// A copy of the object without `key`.
Value without(const Value& object, std::string_view key) {
  json::Object out;
  for (const json::Member& m : object.as_object()) {
    if (m.key != key) out.append(m.key, m.value);
  }
  return Value(std::move(out));
}

}  // namespace

TEST(SummaryTemplate, CenterPrefersAMedianWithPositiveSpread) {
  EXPECT_EQ(explstage::baseline_center(signal("m", "1", R"({"mean": 4.0, "median": 5.0, "mad": 0.0})")), Value(4.0));
  EXPECT_EQ(explstage::baseline_center(signal("m", "1", R"({"mean": 4.0, "median": 5.0, "mad": 1.5})")), Value(5.0));
  EXPECT_EQ(explstage::baseline_center(signal("m", "1", R"({"mean": 4.0, "median": 5.0, "mad": null})")), Value(4.0));
  EXPECT_EQ(explstage::baseline_center(signal("m", "1", R"({"mean": 4.0, "median": 5.0})")), Value(4.0));
  EXPECT_EQ(explstage::baseline_center(signal("m", "1", R"({"mean": null, "median": null, "mad": 2})")), Value());
  EXPECT_EQ(explstage::baseline_center(signal("m", "1", R"({"mean": 1, "median": 7, "mad": NaN})")), Value(1));
}

TEST(SummaryTemplate, DirectionAgainstTheCenter) {
  EXPECT_EQ(explstage::direction(signal("m", "5", R"({"mean": 5})")), "up");
  EXPECT_EQ(explstage::direction(signal("m", "4.999", R"({"mean": 5})")), "down");
  EXPECT_EQ(explstage::direction(signal("m", "0", R"({"mean": 0})")), "down");
  EXPECT_EQ(explstage::direction(signal("m", "-1", R"({"mean": 0.0})")), "down");
  EXPECT_EQ(explstage::direction(signal("m", "0.5", R"({"mean": null})")), "up");
  EXPECT_EQ(explstage::direction(signal("m", "NaN", R"({"mean": 3})")), "down");
  EXPECT_EQ(explstage::direction(signal("m", "9007199254740993", R"({"mean": 9007199254740992.0})")), "up");
  EXPECT_THROW(explstage::direction(signal("m", "\"x\"", R"({"mean": 3})")), TypeMismatchError);
}

TEST(SummaryTemplate, AsksTheHelperOnceEachInOrderWhateverTheSentence) {
  for (std::string_view extra : {"", R"(, "deviation": {"degenerate": true})"}) {
    for (std::string_view metric : {"run_duration", "run_failed"}) {
      FakeHelper helper;
      explstage::summary(signal(metric, "1.0", R"({"mean": 0.0, "median": 0.0})", extra), helper);
      EXPECT_EQ(helper.calls, (std::vector<std::string>{"relative_change", "metric_insight up"}));
    }
  }
}

TEST(SummaryTemplate, MissingInputsFailBeforeTheHelperIsAsked) {
  FakeHelper helper;
  const Value full = signal("run_duration", "1", R"({"mean": 1, "median": 1, "mad": 1})");
  auto missing_key = [&](const Value& s) {
    try {
      explstage::summary(s, helper);
    } catch (const MissingKeyError& e) {
      return e.key;
    }
    return std::string("(none)");
  };
  for (const char* key : {"metric", "observed", "baseline", "window", "confidence"}) {
    EXPECT_EQ(missing_key(without(full, key)), key);
  }
  EXPECT_EQ(missing_key(signal("m", "1", R"({"median": 1, "mad": 1})")), "mean");
  EXPECT_EQ(missing_key(without(without(full, "confidence"), "window")), "window");
  EXPECT_TRUE(helper.calls.empty());
}
