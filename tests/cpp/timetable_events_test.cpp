#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "support/arrow_builders.hpp"
#include "timetable/event.hpp"

namespace ravlin {
namespace {

using testing::NamedColumn;

testing::ColumnPtr strings_dict(const std::vector<std::optional<std::int64_t>>& keys,
                                           const std::vector<std::optional<std::string>>& values) {
  return testing::dict_column(keys, values);
}

// Two events on one track, the five columns in the checked order.
std::vector<NamedColumn> good_columns() {
  return {
      {"time", testing::time_column({0, 1000})},
      {"track", strings_dict({0, 0}, {"leg"})},
      {"op", strings_dict({0, 1}, {"+", ">"})},
      {"quantity", testing::double_column({1.5, -2.0})},
      {"unit", strings_dict({0, std::nullopt}, {"USD"})},
  };
}

void erase_column(std::vector<NamedColumn>& columns, const std::string& name) {
  std::erase_if(columns, [&](const NamedColumn& c) { return c.first == name; });
}

void replace_column(std::vector<NamedColumn>& columns, const std::string& name,
                    testing::ColumnPtr array) {
  for (auto& column : columns) {
    if (column.first == name) column.second = std::move(array);
  }
}

std::string error_text(const std::vector<NamedColumn>& columns) {
  const auto batch = testing::batch_of(columns);
  auto events = Events::create(*batch);
  return events ? std::string("<built>") : events.error().text();
}

std::string wrong(const std::string& name) {
  return "Couldn't convert column '" + name + "', likely incorrect type";
}
std::string missing(const std::string& name) { return "Column '" + name + "' not found"; }

struct ColumnCase {
  std::string label;
  std::function<void(std::vector<NamedColumn>&)> mutate;
  std::string expected;
  friend void PrintTo(const ColumnCase& c, std::ostream* os) { *os << c.label; }
};

class ColumnChecks : public ::testing::TestWithParam<ColumnCase> {};

TEST_P(ColumnChecks, ReportsTheFirstFaultyColumn) {
  auto columns = good_columns();
  GetParam().mutate(columns);
  EXPECT_EQ(error_text(columns), GetParam().expected);
}

// A plain integer column: the wrong type for any event column.
testing::ColumnPtr plain_int64() { return testing::int64_column({0, 0}); }

INSTANTIATE_TEST_SUITE_P(
    Events, ColumnChecks,
    ::testing::Values(
        ColumnCase{"TimeAsIntegers",
                   [](auto& c) { replace_column(c, "time", testing::int64_column({0, 1})); },
                   wrong("time")},
        ColumnCase{"TimeInMicroseconds",
                   [](auto& c) {
                     replace_column(c, "time",
                                    testing::timestamp_column(testing::TimeUnit::Micro, {0, 1}));
                   },
                   wrong("time")},
        ColumnCase{"PlainStringTrack",
                   [](auto& c) { replace_column(c, "track", testing::string_column({"a", "a"})); },
                   wrong("track")},
        ColumnCase{"TrackWith32BitKeys",
                   [](auto& c) {
                     replace_column(c, "track",
                                    testing::dictionary_of(testing::int32_column({0, 0}),
                                                           testing::string_column({"leg"})));
                   },
                   wrong("track")},
        ColumnCase{"PlainStringOp",
                   [](auto& c) { replace_column(c, "op", testing::string_column({"+", "+"})); },
                   wrong("op")},
        ColumnCase{"QuantityAs32BitFloats",
                   [](auto& c) {
                     replace_column(c, "quantity", testing::float32_column({1.0f, 2.0f}));
                   },
                   wrong("quantity")},
        ColumnCase{"QuantityAsIntegers",
                   [](auto& c) { replace_column(c, "quantity", testing::int64_column({1, 2})); },
                   wrong("quantity")},
        ColumnCase{"UnitAsIntegers",
                   [](auto& c) { replace_column(c, "unit", plain_int64()); }, wrong("unit")},
        ColumnCase{"QuantityShorterThanTheBatch",
                   [](auto& c) { replace_column(c, "quantity", testing::double_column({1.0})); },
                   wrong("quantity")},
        ColumnCase{"NoTime", [](auto& c) { erase_column(c, "time"); }, missing("time")},
        ColumnCase{"NoTrack", [](auto& c) { erase_column(c, "track"); }, missing("track")},
        ColumnCase{"NoOp", [](auto& c) { erase_column(c, "op"); }, missing("op")},
        ColumnCase{"NoQuantity", [](auto& c) { erase_column(c, "quantity"); },
                   missing("quantity")},
        ColumnCase{"NoUnit", [](auto& c) { erase_column(c, "unit"); }, missing("unit")},
        ColumnCase{"NoTimeHidesNoUnit",
                   [](auto& c) {
                     erase_column(c, "unit");
                     erase_column(c, "time");
                   },
                   missing("time")},
        ColumnCase{"WrongTrackHidesNoUnit",
                   [](auto& c) {
                     erase_column(c, "unit");
                     replace_column(c, "track", plain_int64());
                   },
                   wrong("track")},
        ColumnCase{"WrongOpHidesWrongQuantity",
                   [](auto& c) {
                     replace_column(c, "quantity", plain_int64());
                     replace_column(c, "op", plain_int64());
                   },
                   wrong("op")},
        ColumnCase{"FirstOfTwoTimeColumnsIsUsed",
                   [](auto& c) { c.insert(c.begin(), {"time", testing::int64_column({0, 1})}); },
                   wrong("time")},
        ColumnCase{"CaseSensitiveNames",
                   [](auto& c) {
                     for (auto& column : c) {
                       if (column.first == "unit") column.first = "Unit";
                     }
                   },
                   missing("unit")}),
    [](const auto& info) { return info.param.label; });

TEST(EventsCreate, AcceptsAnyOrderExtraColumnsAndTimeZones) {
  auto columns = good_columns();
  std::reverse(columns.begin(), columns.end());
  columns.insert(columns.begin() + 2, {"comment", testing::string_column({"x", "y"})});
  replace_column(columns, "time",
                 testing::timestamp_column(testing::TimeUnit::Milli, {5, 7}, "Europe/Paris"));
  // A second "quantity" of the wrong type after the first is ignored.
  columns.push_back({"quantity", testing::int64_column({1, 2})});

  const auto batch = testing::batch_of(columns);
  auto events = Events::create(*batch);
  ASSERT_TRUE(events) << events.error().text();
  EXPECT_EQ(events->time.values<std::int64_t>()[1], 7);
  EXPECT_EQ(events->quantity.values<double>()[1], -2.0);
  EXPECT_EQ(events->op.dictionary()->length, 2);
  EXPECT_FALSE(events->unit.validity().is_valid(1));
}

struct KeyRangeCase {
  std::string column;
  std::int64_t key;
  friend void PrintTo(const KeyRangeCase& c, std::ostream* os) {
    *os << c.column << " " << c.key;
  }
};

class DictionaryKeyRange : public ::testing::TestWithParam<KeyRangeCase> {};

TEST_P(DictionaryKeyRange, RejectsKeysOutsideTheDictionary) {
  auto columns = good_columns();
  // The dictionaries of good_columns() hold one ("track", "unit") or two
  // ("op") values; a null key stays acceptable next to the bad one.
  replace_column(columns, GetParam().column,
                 strings_dict({std::nullopt, GetParam().key}, {"a", "b"}));
  EXPECT_EQ(error_text(columns),
            "Dictionary index out of range in column '" + GetParam().column + "'");
}

INSTANTIATE_TEST_SUITE_P(
    Events, DictionaryKeyRange,
    ::testing::Values(KeyRangeCase{"track", -1}, KeyRangeCase{"track", 2},
                      KeyRangeCase{"op", 2}, KeyRangeCase{"op", -5},
                      KeyRangeCase{"unit", std::numeric_limits<std::int64_t>::min()},
                      KeyRangeCase{"unit", std::numeric_limits<std::int64_t>::max()}),
    [](const auto& info) {
      return info.param.column + "_" + (info.param.key < 0 ? "Negative" : "TooLarge");
    });

TEST(DictionaryKeyRange, ChecksTrackThenOpThenUnitAndAcceptsNullAndLastKeys) {
  auto columns = good_columns();
  replace_column(columns, "unit", strings_dict({9, 0}, {"USD"}));
  replace_column(columns, "op", strings_dict({9, 0}, {"+"}));
  EXPECT_EQ(error_text(columns), "Dictionary index out of range in column 'op'");

  columns = good_columns();
  replace_column(columns, "track", strings_dict({std::nullopt, 2}, {"a", "b", "c"}));
  EXPECT_EQ(error_text(columns), "<built>");
}

struct VocabularyCase {
  std::string label;
  std::vector<std::optional<std::string>> codes;
  std::vector<std::string> displays;  // of ops_map, "<null>" for Null
  friend void PrintTo(const VocabularyCase& c, std::ostream* os) { *os << c.label; }
};

class OpVocabulary : public ::testing::TestWithParam<VocabularyCase> {};

TEST_P(OpVocabulary, OneOpPerDictionaryValueInOrder) {
  auto columns = good_columns();
  replace_column(columns, "op", strings_dict({0, 0}, GetParam().codes));
  const auto batch = testing::batch_of(columns);
  auto events = Events::create(*batch);
  ASSERT_TRUE(events) << events.error().text();

  auto codes = events->ops_iter();
  ASSERT_TRUE(codes) << codes.error().text();
  ASSERT_EQ(codes->size(), GetParam().codes.size());
  for (std::size_t i = 0; i < codes->size(); ++i) {
    EXPECT_EQ((*codes)[i].has_value(), GetParam().codes[i].has_value()) << i;
    if ((*codes)[i]) {
      EXPECT_EQ(*(*codes)[i], *GetParam().codes[i]);
    }
  }

  auto ops = events->ops_map();
  ASSERT_TRUE(ops) << ops.error().text();
  std::vector<std::string> displays;
  for (const Op& op : *ops) {
    displays.push_back(std::holds_alternative<Op::Null>(op.kind) ? "<null>" : op.display());
  }
  EXPECT_EQ(displays, GetParam().displays);
}

INSTANTIATE_TEST_SUITE_P(
    Events, OpVocabulary,
    ::testing::Values(
        VocabularyCase{"FourCodesAndNull", {"+", ">", "<", "s", std::nullopt},
                       {"+", ">", "<", "s", "<null>"}},
        VocabularyCase{"OtherTextsKept", {"x", "", "++", "+"}, {"x", "", "++", "+"}},
        VocabularyCase{"OnlyNull", {std::nullopt}, {"<null>"}}),
    [](const auto& info) { return info.param.label; });

TEST(OpVocabulary, ParsesOnlyTheExactCodes) {
  EXPECT_TRUE(Op::parse("+").is_add());
  EXPECT_TRUE(Op::parse(">").is_max());
  EXPECT_TRUE(Op::parse("<").is_min());
  for (const char* text : {"", "++", " +", ">=", "S", "s"}) {
    const Op op = Op::parse(text);
    ASSERT_NE(op.as_text(), nullptr) << text;
    EXPECT_EQ(op.as_text()->text, text);
  }
}

TEST(OpVocabulary, NonStringDictionaryValuesPassTheColumnCheckButNotTheRead) {
  auto columns = good_columns();
  replace_column(columns, "op",
                 testing::dictionary_of(testing::int64_column({0, 0}),
                                        testing::int64_column({1})));
  replace_column(columns, "unit",
                 testing::dictionary_of(testing::int64_column({0, 0}),
                                        testing::large_string_column({"USD"})));
  const auto batch = testing::batch_of(columns);
  auto events = Events::create(*batch);
  ASSERT_TRUE(events) << events.error().text();
  EXPECT_EQ(events->ops_iter().error().text(), "Error in ops column, expected strings");
  EXPECT_EQ(events->ops_map().error().text(), "Error in ops column, expected strings");
  EXPECT_EQ(events->units_iter().error().text(), "Error in units column, expected strings");
}

}  // namespace
}  // namespace ravlin
