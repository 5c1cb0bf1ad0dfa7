#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "model/error.hpp"

namespace ravlin {
namespace {

struct CausesCase {
  const char* label;
  ModelError (*make)();  // errors own their inner errors and are not copied
  std::vector<std::string> causes;
  friend void PrintTo(const CausesCase& c, std::ostream* os) { *os << c.label; }
};

class ErrorCauses : public ::testing::TestWithParam<CausesCase> {};

// Each link's own words, outermost first, and each found in the message in
// that order: the chain says what the message says, without its links.
TEST_P(ErrorCauses, ListTheChainInTheMessagesOrder) {
  const ModelError error = GetParam().make();
  EXPECT_EQ(error.causes(), GetParam().causes);
  const std::string text = error.text();
  std::size_t at = 0;
  for (const std::string& cause : error.causes()) {
    at = text.find(cause, at);
    ASSERT_NE(at, std::string::npos) << cause;
    at += cause.size();
  }
  // After the root cause, only the quotes that close the links around it.
  EXPECT_EQ(text.find_first_not_of('\'', at), std::string::npos);
  EXPECT_EQ(error.row(), std::nullopt);
}

const std::string kOutOfRange =
    "Error: Interpolation out of range at time 3.\n Perhaps the time range in forwards/discount "
    "data is too short.";

INSTANTIATE_TEST_SUITE_P(
    Model, ErrorCauses,
    ::testing::Values(
        CausesCase{"RateInQuotes",
                   [] {
                     return ModelError(AssetError::rate_error(
                         "USD", AssetError::Kind{AssetError::OutOfRange{3.0}}, 3.0, 1.0));
                   },
                   {"Error in 'USD' rate from time 1 to 3", kOutOfRange}},
        CausesCase{"SpotInRate",
                   [] {
                     return ModelError(AssetError::spot_error(
                         "X",
                         AssetError::rate_error(
                             "USD", AssetError::Kind{AssetError::DivideByZero{}}, 2.0, 0.5),
                         0.25));
                   },
                   {"Error in 'X' value at 0.25", "Error in 'USD' rate from time 0.5 to 2",
                    "Error: Divide by zero"}},
        CausesCase{"OpInLedger", [] { return ModelError(LedgerError(OpError::unknown_op("x"))); },
                   {"Error in Op", "Unknown Op 'x'"}},
        CausesCase{"PhraseKeepsThePythonChain",
                   [] {
                     return ModelError(
                         ExprError{"Error in Python method 'f', caused by \nValueError: no",
                                   {"Error in Python method 'f'", "ValueError: no"}});
                   },
                   {"Error in Phrase Evaluation", "Error in Python method 'f'", "ValueError: no"}},
        CausesCase{"OneLink", [] { return ModelError::event_specs("Missing Unit Name"); },
                   {"Error in Event Specs: Missing Unit Name"}}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace ravlin
