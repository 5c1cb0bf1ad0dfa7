#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/arrow_builders.hpp"
#include "timetable/event.hpp"
#include "timetable/expressions.hpp"

namespace ravlin {
namespace {

using Dictionary = std::vector<std::optional<std::string>>;

// A phrase that hands back its inputs; only its identity matters here.
class EchoPhrase : public EvalPhrase {
 public:
  const std::vector<std::string>& iter_inp() const override { return inp_; }
  std::expected<std::vector<Values>, ExprError> eval(
      const std::vector<Values>& inputs) const override {
    return inputs;
  }

 private:
  std::vector<std::string> inp_{"S"};
};

struct ExpressionNames {
  std::map<std::string, std::vector<std::string>> snappers = {};  // name -> out names
  std::vector<std::string> phrases = {};
};

Expressions make_expressions(const ExpressionNames& names) {
  Expressions expressions;
  for (const auto& [name, out] : names.snappers) {
    expressions.snappers.emplace(name, Snapper{out, std::make_unique<EchoPhrase>()});
  }
  for (const auto& name : names.phrases) {
    expressions.phrases.emplace(name, std::make_unique<EchoPhrase>());
  }
  return expressions;
}

// One event per table; every dictionary value is resolved whether used or not.
testing::BatchPtr batch_with(const testing::ColumnPtr& track,
                                               const testing::ColumnPtr& unit) {
  return testing::batch_of({
      {"time", testing::time_column({0})},
      {"track", track},
      {"op", testing::dict_column({0}, {"+"})},
      {"quantity", testing::double_column({1.0})},
      {"unit", unit},
  });
}

std::expected<std::vector<Unit>, OpError> resolve(const testing::ColumnPtr& track,
                                                  const testing::ColumnPtr& unit,
                                                  const ExpressionNames& names) {
  const auto batch = batch_with(track, unit);
  auto events = Events::create(*batch);
  if (!events) return std::unexpected(events.error());
  return make_expressions(names).create_units_map(*events);
}

struct ResolutionCase {
  std::string label;
  Dictionary tracks;
  Dictionary units;
  ExpressionNames names;
  std::vector<std::string> descs;
  friend void PrintTo(const ResolutionCase& c, std::ostream* os) { *os << c.label; }
};

class UnitResolution : public ::testing::TestWithParam<ResolutionCase> {};

TEST_P(UnitResolution, OneUnitPerDictionaryValue) {
  const auto& param = GetParam();
  const std::optional<std::int64_t> unit_key =
      param.units.empty() ? std::nullopt : std::optional<std::int64_t>(0);
  auto units = resolve(testing::dict_column({0}, param.tracks),
                       testing::dict_column({unit_key}, param.units), param.names);
  ASSERT_TRUE(units) << units.error().text();
  std::vector<std::string> descs;
  for (const Unit& unit : *units) descs.push_back(unit.desc());
  EXPECT_EQ(descs, param.descs);
}

INSTANTIATE_TEST_SUITE_P(
    Units, UnitResolution,
    ::testing::Values(
        ResolutionCase{"EachKind",
                       {"leg0", "leg1"},
                       {"USD", "leg1", std::nullopt, "cpn", "S2", "snap", "basket", "leg0"},
                       {{{"snap", {"S1", "S2"}}}, {"cpn"}},
                       {"Asset(USD)", "Track(1)", "<none>", "Phrase(cpn)", "Snap(S2)",
                        "Snapper(snap)", "Asset(basket)", "Track(0)"}},
        ResolutionCase{"LaterKindsOverwrite",
                       {"t_phrase", "t_snap", "t_snapper"},
                       {"t_phrase", "t_snap", "t_snapper", "s_phrase"},
                       {{{"t_snapper", {"t_snap", "s_phrase"}}}, {"t_phrase", "s_phrase"}},
                       {"Phrase(t_phrase)", "Snap(t_snap)", "Snapper(t_snapper)",
                        "Phrase(s_phrase)"}},
        ResolutionCase{"FirstEqualValueOnly",
                       {"A", "B"},
                       {"A", "cpn", "A", "cpn", "B"},
                       {{}, {"cpn"}},
                       {"Track(0)", "Phrase(cpn)", "Asset(A)", "Asset(cpn)", "Track(1)"}},
        ResolutionCase{"NamesWithoutUnitsAreIgnored",
                       {"leg"},
                       {"usd"},
                       {{{"sn", {"o1"}}}, {"leg", "USD"}},
                       {"Asset(usd)"}},
        ResolutionCase{"EmptyUnitDictionary", {"leg"}, {}, {{{"sn", {"o"}}}, {"p"}}, {}},
        ResolutionCase{"DuplicateTrackValuesTakeTheLastKey",
                       {"leg", "leg"},
                       {"leg"},
                       {},
                       {"Track(1)"}}),
    [](const auto& info) { return info.param.label; });

struct UnitFailureCase {
  std::string label;
  testing::ColumnPtr track;
  testing::ColumnPtr unit;
  std::string text;
  friend void PrintTo(const UnitFailureCase& c, std::ostream* os) { *os << c.label; }
};

class UnitResolutionFailure : public ::testing::TestWithParam<UnitFailureCase> {};

TEST_P(UnitResolutionFailure, ReportsTheFirstFault) {
  auto units = resolve(GetParam().track, GetParam().unit, {{}, {"cpn"}});
  ASSERT_FALSE(units);
  EXPECT_EQ(units.error().text(), GetParam().text);
}

testing::ColumnPtr int_dictionary() {
  return testing::dictionary_of(testing::int64_column({0}), testing::int64_column({7}));
}

INSTANTIATE_TEST_SUITE_P(
    Units, UnitResolutionFailure,
    ::testing::Values(
        UnitFailureCase{"UnitValuesNotStrings", testing::dict_column({0}, {"leg"}),
                        int_dictionary(), "Error in units column, expected strings"},
        UnitFailureCase{"UnitsCheckedBeforeTracks", int_dictionary(), int_dictionary(),
                        "Error in units column, expected strings"},
        UnitFailureCase{"TrackValuesNotStrings", int_dictionary(),
                        testing::dict_column({0}, {"USD"}),
                        "Error in tracks column, expected strings"},
        UnitFailureCase{"TrackValuesLargeStrings",
                        testing::dictionary_of(testing::int64_column({0}),
                                               testing::large_string_column({"leg"})),
                        testing::dict_column({0}, {"USD"}),
                        "Error in tracks column, expected strings"},
        UnitFailureCase{"UnusedNullTrackValue",
                        testing::dict_column({0}, {"leg", std::nullopt}),
                        testing::dict_column({0}, {"USD"}), "Missing Track Value"}),
    [](const auto& info) { return info.param.label; });

TEST(ExpressionLookups, FindByNameOrNameTheMissingOne) {
  Expressions expressions = make_expressions({{{"snap", {"S"}}}, {"cpn"}});

  auto snapper = expressions.snapper_by_name("snap");
  ASSERT_TRUE(snapper);
  EXPECT_EQ(*snapper, &expressions.snappers.at("snap"));
  EXPECT_EQ(expressions.get_phrase("cpn"), expressions.phrases.at("cpn").get());

  // The names are compared exactly; the lookup names a batch in its error.
  EXPECT_EQ(expressions.snapper_by_name("cpn").error(), "Batch not found#cpn");
  EXPECT_EQ(expressions.snapper_by_name("Snap").error(), "Batch not found#Snap");
  EXPECT_EQ(expressions.get_phrase("snap"), nullptr);
  EXPECT_EQ(expressions.get_phrase("cpn "), nullptr);
}

}  // namespace
}  // namespace ravlin
