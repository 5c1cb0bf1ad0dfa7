// Shared evaluation of names, phrases and snappers, and the saving of payments.
#include <gtest/gtest.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "model/forwardstate.hpp"
#include "model/interfaces.hpp"
#include "support/model_fakes.hpp"

namespace ravlin {
namespace {

using testing::constant_phrase;
using testing::failing_phrase;
using testing::fake_phrase;
using testing::FakePhrase;
using testing::kT0;
using testing::PhraseResult;

// Asset values from a table; remembers every name asked for.
class TableModel final : public LangModel {
 public:
  std::expected<Values, ModelError> asset_value(FwdModelStateGeneric&, const Values& multiplier,
                                                std::string_view name, std::int64_t) override {
    asked.emplace_back(name);
    const auto found = values.find(std::string(name));
    if (found == values.end()) {
      return std::unexpected(ModelError(AssetError(AssetError::AssetNotFound{std::string(name)})));
    }
    auto product = multiply(found->second, multiplier);
    if (!product) return std::unexpected(ModelError(product.error()));
    return *product;
  }

  std::unordered_map<std::string, Values> values;
  std::vector<std::string> asked;
};

// A one-event timetable over the given expressions, its state and a model.
struct World {
  explicit World(Expressions expressions = {}, std::size_t paths = 1)
      : timetable(testing::make_timetable({{0, kT0, 0, 1.0, 0}}, {"T"}, {"+"}, {"X"},
                                          std::move(expressions))),
        state(create_fwd_state(timetable, paths)) {}

  std::expected<Values, ModelError> value(std::string_view name) {
    return name_value(model, state, timetable, name, kT0);
  }
  std::expected<void, ModelError> snapper(std::string_view name) {
    return eval_snapper(model, state, timetable, name, kT0);
  }

  TimeTable timetable;
  FwdModelStateGeneric state;
  TableModel model;
};

struct SourcesCase {
  bool phrase;
  bool snap;
  bool asset;
  double expected;
};

class NameValueOrder : public ::testing::TestWithParam<SourcesCase> {};

TEST_P(NameValueOrder, PhraseBeforeSnapBeforeAsset) {
  const SourcesCase& c = GetParam();
  Expressions expressions;
  if (c.phrase) expressions.phrases["x"] = constant_phrase({Values{1.0}});
  World world(std::move(expressions));
  if (c.snap) world.state.snaps["x"] = Values{2.0};
  if (c.asset) world.model.values["x"] = Values{3.0};

  auto value = world.value("x");
  ASSERT_TRUE(value) << value.error().text();
  EXPECT_EQ(*value, Values{c.expected});
  // The model is asked only when neither a phrase nor a snap answers.
  EXPECT_EQ(world.model.asked.size(), (c.phrase || c.snap) ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Sources, NameValueOrder,
                         ::testing::Values(SourcesCase{true, true, true, 1.0},
                                           SourcesCase{false, true, true, 2.0},
                                           SourcesCase{false, false, true, 3.0}));

TEST(NameValue, UnknownNameIsTheAssetError) {
  World world;
  auto value = world.value("nope");
  ASSERT_FALSE(value);
  EXPECT_TRUE(std::holds_alternative<ModelError::Asset>(value.error().kind));
  EXPECT_EQ(value.error().text(),
            "Asset 'nope' not found in snaps, expressions, or in dataset[ASSETS]");
}

TEST(PhraseValue, InputsInOrderRecursingThroughPhrasesAndLastOutputWins) {
  Expressions expressions;
  expressions.phrases["inner"] =
      fake_phrase({"b"}, [](const std::vector<Values>& in) -> PhraseResult {
        return std::vector<Values>{scaled(in[0], 10.0)};
      });
  auto outer_phrase = fake_phrase({"a", "inner", "snapped"},
                                  [](const std::vector<Values>& in) -> PhraseResult {
                                    const double sum = in[0][0] + in[1][0] + in[2][0];
                                    return std::vector<Values>{{-1.0}, {-2.0}, {sum}};
                                  });
  const FakePhrase& outer = *outer_phrase;
  World world(std::move(expressions));
  world.model.values["a"] = Values{1.0};
  world.model.values["b"] = Values{2.0};
  world.state.snaps["snapped"] = Values{300.0};

  auto value = phrase_value_1(world.model, world.state, world.timetable, outer, kT0);
  ASSERT_TRUE(value) << value.error().text();
  EXPECT_EQ(*value, Values{321.0});
  ASSERT_EQ(outer.calls.size(), 1u);
  EXPECT_EQ(outer.calls[0], (std::vector<Values>{{1.0}, {20.0}, {300.0}}));
  EXPECT_EQ(world.model.asked, (std::vector<std::string>{"a", "b"}));
}

struct PhraseErrorCase {
  const char* name;
  std::function<std::unique_ptr<FakePhrase>()> make;
  std::string text;
};

class PhraseValueErrors : public ::testing::TestWithParam<PhraseErrorCase> {};

TEST_P(PhraseValueErrors, ReportsTheFailure) {
  const PhraseErrorCase& c = GetParam();
  Expressions expressions;
  expressions.phrases["p"] = c.make();
  // "loop" names itself; "ping" and "pong" name each other.
  expressions.phrases["loop"] = fake_phrase({"loop"}, [](const auto&) -> PhraseResult {
    return std::vector<Values>{{1.0}};
  });
  expressions.phrases["ping"] = fake_phrase({"pong"}, [](const auto&) -> PhraseResult {
    return std::vector<Values>{{1.0}};
  });
  expressions.phrases["pong"] = fake_phrase({"ping"}, [](const auto&) -> PhraseResult {
    return std::vector<Values>{{1.0}};
  });
  World world(std::move(expressions));
  auto value = world.value("p");
  ASSERT_FALSE(value);
  EXPECT_EQ(value.error().text(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, PhraseValueErrors,
    ::testing::Values(
        PhraseErrorCase{"EvalError", [] { return failing_phrase("boom"); },
                        "Error in Phrase Evaluation, caused by \nboom"},
        PhraseErrorCase{"NoOutput", [] { return constant_phrase({}); }, "No output from phrase"},
        PhraseErrorCase{"UnknownInput",
                        [] { return fake_phrase({"missing"}, [](const auto&) -> PhraseResult {
                               ADD_FAILURE() << "evaluated despite a failed input";
                               return std::vector<Values>{{0.0}};
                             }); },
                        "Asset 'missing' not found in snaps, expressions, or in dataset[ASSETS]"},
        PhraseErrorCase{"SelfReference",
                        [] { return fake_phrase({"loop"}, [](const auto&) -> PhraseResult {
                               return std::vector<Values>{{0.0}};
                             }); },
                        "Phrase 'loop' depends on its own value"},
        PhraseErrorCase{"MutualReference",
                        [] { return fake_phrase({"ping"}, [](const auto&) -> PhraseResult {
                               return std::vector<Values>{{0.0}};
                             }); },
                        "Phrase 'ping' depends on its own value"}),
    [](const auto& info) { return std::string(info.param.name); });

struct SnapperCase {
  std::vector<std::string> names;
  std::size_t outputs;
  std::vector<std::string> stored;
};

class EvalSnapperPairing : public ::testing::TestWithParam<SnapperCase> {};

TEST_P(EvalSnapperPairing, StoresUpToTheShorterListAndSavesNothing) {
  const SnapperCase& c = GetParam();
  Expressions expressions;
  const std::size_t outputs = c.outputs;
  expressions.snappers["snp"] =
      Snapper{c.names, fake_phrase({"S"}, [outputs](const std::vector<Values>& in) -> PhraseResult {
                std::vector<Values> out;
                for (std::size_t k = 0; k < outputs; ++k) out.push_back(scaled(in[0], k + 1.0));
                return out;
              })};
  World world(std::move(expressions));
  world.model.values["S"] = Values{10.0};
  world.state.snaps["a"] = Values{-1.0};  // replaced by the snapper

  ASSERT_TRUE(world.snapper("snp"));
  std::vector<std::string> stored;
  for (const auto& [name, value] : world.state.snaps) stored.push_back(name);
  std::sort(stored.begin(), stored.end());
  EXPECT_EQ(stored, c.stored);
  EXPECT_EQ(world.state.snaps.at("a"), Values{10.0});
  EXPECT_EQ(world.state.snaps.at("b"), Values{20.0});
  EXPECT_TRUE(std::holds_alternative<EvState::Empty>(world.state.graph.at(0).kind));
}

INSTANTIATE_TEST_SUITE_P(Lengths, EvalSnapperPairing,
                         ::testing::Values(SnapperCase{{"a", "b"}, 3, {"a", "b"}},
                                           SnapperCase{{"a", "b", "c"}, 2, {"a", "b"}}));

TEST(EvalSnapper, LookupAndEvaluationErrorsKeepTheirKinds) {
  Expressions expressions;
  expressions.snappers["bad"] = Snapper{{"a"}, failing_phrase("nope")};
  World world(std::move(expressions));

  auto unknown = world.snapper("absent");
  ASSERT_FALSE(unknown);
  EXPECT_TRUE(std::holds_alternative<ModelError::Op>(unknown.error().kind));
  EXPECT_EQ(unknown.error().text(), "Batch not found#absent");

  auto failed = world.snapper("bad");
  ASSERT_FALSE(failed);
  EXPECT_TRUE(std::holds_alternative<ModelError::Phrase>(failed.error().kind));
  EXPECT_EQ(failed.error().text(), "Error in Phrase Evaluation, caused by \nnope");
  EXPECT_TRUE(world.state.snaps.empty());
}

TEST(GrSave, PlainOpsSavePaymentsAndTextOpsWeighByTheNamedValue) {
  for (const Op& op : {Op::parse("+"), Op::parse(">"), Op::parse("<"), Op::null()}) {
    World world;
    ASSERT_TRUE(gr_save(world.model, world.state, world.timetable, 0, Values{5.0}, op, kT0));
    const auto* pay = std::get_if<EvState::Pay>(&world.state.graph.at(0).kind);
    ASSERT_NE(pay, nullptr) << op.display();
    EXPECT_EQ(pay->amount, Values{5.0});
  }

  World world({}, 2);
  world.state.snaps["s"] = Values{0.25, 0.75};
  ASSERT_TRUE(
      gr_save(world.model, world.state, world.timetable, 0, Values{5.0}, Op::parse("s"), kT0));
  const auto* cond = std::get_if<EvState::CondPay>(&world.state.graph.at(0).kind);
  ASSERT_NE(cond, nullptr);
  EXPECT_EQ(cond->amount, Values{5.0});
  EXPECT_EQ(cond->weight, (Values{0.25, 0.75}));
}

TEST(GrSave, FailuresLeaveTheEventEmpty) {
  World world({}, 2);
  auto unknown_condition =
      gr_save(world.model, world.state, world.timetable, 0, Values{5.0}, Op::parse("s"), kT0);
  ASSERT_FALSE(unknown_condition);
  EXPECT_EQ(unknown_condition.error().text(),
            "Asset 's' not found in snaps, expressions, or in dataset[ASSETS]");

  auto too_long = gr_save(world.model, world.state, world.timetable, 0, Values{1.0, 2.0, 3.0},
                          Op::parse("+"), kT0);
  ASSERT_FALSE(too_long);
  EXPECT_EQ(too_long.error().text(), "Value arrays of lengths 3 and 2 cannot be combined");

  world.state.snaps["s"] = Values{0.1, 0.2, 0.3};
  auto bad_weight =
      gr_save(world.model, world.state, world.timetable, 0, Values{5.0}, Op::parse("s"), kT0);
  ASSERT_FALSE(bad_weight);
  EXPECT_EQ(bad_weight.error().text(), "Value arrays of lengths 3 and 2 cannot be combined");
  EXPECT_TRUE(std::holds_alternative<EvState::Empty>(world.state.graph.at(0).kind));
}

}  // namespace
}  // namespace ravlin
