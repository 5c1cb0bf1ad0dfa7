// Exercise decisions at choice events of simulated paths by regression: the
// continuation on each path is estimated from what the path shows at the
// event, instead of being read off the path's own future.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/forwardstate.hpp"
#include "qmc/regression.hpp"
#include "ledger/util.hpp"
#include "timetable/op.hpp"
#include "util/values.hpp"

namespace ravlin {

enum class ExerciseMethod { Pathwise, Regression };

inline constexpr std::size_t kMaxBasisDegree = 12;
inline constexpr std::size_t kMaxBasisFunctions = 64;

// How choice events decide on simulated paths.
struct ExerciseSettings {
  ExerciseMethod method = ExerciseMethod::Pathwise;
  std::size_t basis_degree = 3;
  // Names read on each path at the event; none: the offer itself.
  std::vector<std::string> regressors;
  // The first paths only fit the regressions and are left out of the price.
  std::size_t calibration_paths = 0;

  bool by_regression() const { return method == ExerciseMethod::Regression; }
  // The first path that the price averages.
  std::size_t priced_from() const { return by_regression() ? calibration_paths : 0; }
};

// What a choice event saw on each path in the forward pass.
struct ChoiceInputs {
  // The discount from the valuation time to the event: values divided by it
  // are in money of the event's date, where the decision is taken.
  Values discount;
  std::vector<Values> regressors;
};

class ExerciseRegression final : public ChoiceDecider {
 public:
  ExerciseRegression(ExerciseSettings settings, std::size_t paths)
      : settings_(std::move(settings)), paths_(paths) {}

  const ExerciseSettings& settings() const { return settings_; }
  // Keeps what the choice event `event` saw on each path.
  void save(std::uint64_t event, const Values& discount, std::vector<Values> regressors);

  // 1 on the paths where the choice `op` takes `offer` over the estimated
  // continuation of `pv` (both discounted to the valuation time), 0 elsewhere.
  // Uses up the inputs saved for the event; arrays that do not fit the paths
  // are an error. The decisions stay valid until the next call.
  ValuesOr<std::span<const std::uint64_t>> decide(const Op& op, std::uint64_t event, const Values& pv,
                                                  const Values& offer) override;

 private:
  // The fit of the continuations gathered for the event, `finite` of which
  // are finite.
  PolynomialRegression fit_continuation(PolynomialRegression::Columns columns, std::size_t finite);
  bool offer_beats_every_fit(bool larger, std::span<const std::size_t> play) const;
  PolynomialRegression::Columns regressor_columns(const std::vector<Values>& regressors,
                                                  bool one_regressor,
                                                  std::span<const double> offered,
                                                  const Values& pv);
  void decide_in_play(bool larger, std::span<const double> offered);
  bool take_unbeatable_offer(bool larger, std::span<const double> offered, double offer,
                             const Values& pv, const Values& discount, bool divide);

  ExerciseSettings settings_;
  std::size_t paths_;
  std::unordered_map<std::uint64_t, ChoiceInputs> saved_;
  // Buffers reused from event to event: offers in money of the event's date,
  // the paths in play, their regressors, continuations and estimates, and
  // the decisions.
  std::vector<double> offered_;
  std::vector<std::size_t> play_;
  // For each whole group of eight paths, the bits of those in play, when
  // the paths were packed eight at a time.
  std::vector<std::uint8_t> lanes_;
  std::vector<double> offer_column_;
  std::vector<double> regressor_column_;
  std::vector<std::span<const double>> views_;
  GatheredColumns gathered_;
  std::vector<double> continuation_;
  std::vector<double> estimate_;
  ChoiceArray taken_;
};

}  // namespace ravlin
