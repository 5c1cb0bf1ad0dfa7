#include "qmc/exercise.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>

#include "qmc/regression.hpp"
#include "util/simd.hpp"

#if RAVLIN_X86_64_INTRINSICS
#include <immintrin.h>
#endif

namespace ravlin {

namespace {

// Offers within this share of their largest magnitude count as equal, so
// that an offer that is the same in money of the event's date stays the same
// after the division by the path's discount.
constexpr double kSameOffer = 1e-12;

// Whether a discount is a positive finite number, by which values can be
// brought to the event's date.
bool usable(double discount) {
  return discount > 0.0 && discount <= std::numeric_limits<double>::max();
}

using simd::Group;
using simd::kGroup;
using simd::load_group;

// value / discount on each path into `out`; NaN where the discount is not
// usable, so that such paths neither enter a fit nor exercise.
void at_event_date(const Values& value, const Values& discount, std::size_t paths,
                   std::vector<double>& out) {
  out.resize(paths);
  for (std::size_t j = 0; j < paths; ++j) {
    const double d = at_broadcast(discount, j);
    out[j] = usable(d) ? at_broadcast(value, j) / d : std::numeric_limits<double>::quiet_NaN();
  }
}

// Divides each of `packed`, the values of the paths of `rows` in turn, by
// the path's discount unless `divide` is false; the discounts of these paths
// are usable. Returns how many of the results are finite.
RAVLIN_CLONES std::size_t to_event_date(
    std::span<double> packed, const Values& discount, bool divide,
    std::span<const std::size_t> rows) {
  if (divide) {
    for (std::size_t k = 0; k < packed.size(); ++k) packed[k] /= at_broadcast(discount, rows[k]);
  }
  std::size_t finite = 0;
  for (const double v : packed) finite += std::isfinite(v);
  return finite;
}

// The squares of a group of values where the group of offers is finite, 0
// elsewhere.
[[gnu::always_inline]] inline Group square_if_finite(const double* offer, const double* value) {
  const Group values = load_group(value);
  return simd::select(simd::finite(load_group(offer)), values * values, Group{});
}

// The sum of the squares of pv (divided by the path's discount when
// `divide`) over the paths whose offer is finite: four groups of running
// sums where no division is needed.
RAVLIN_CLONES double squares_where_finite(
    std::span<const double> offer, const Values& pv, const Values& discount, bool divide) {
  double total = 0.0;
  std::size_t j = 0;
  if (!divide) {
    Group s0 = {}, s1 = {}, s2 = {}, s3 = {};
    for (; j + 4 * kGroup <= offer.size(); j += 4 * kGroup) {
      s0 += square_if_finite(offer.data() + j, pv.data() + j);
      s1 += square_if_finite(offer.data() + j + kGroup, pv.data() + j + kGroup);
      s2 += square_if_finite(offer.data() + j + 2 * kGroup, pv.data() + j + 2 * kGroup);
      s3 += square_if_finite(offer.data() + j + 3 * kGroup, pv.data() + j + 3 * kGroup);
    }
    const Group sums = (s0 + s1) + (s2 + s3);
    total = (sums[0] + sums[1]) + (sums[2] + sums[3]);
  }
  for (; j < offer.size(); ++j) {
    const double c = divide ? pv[j] / at_broadcast(discount, j) : pv[j];
    total += std::isfinite(offer[j]) ? c * c : 0.0;
  }
  return total;
}

// Whether `offer` is beyond twice the norm whose square is `squares`, on the
// chooser's side: no least-squares fit of those continuations can beat it.
// False when the norm is NaN or infinite.
bool beyond_twice_norm(bool larger, double offer, double squares) {
  const double bound = 2.0 * std::sqrt(squares);
  return larger ? offer > bound : offer < -bound;
}

// One element when every path holds the same value.
Values compact(const Values& values) {
  return simd::all_equal(values) ? Values::scalar(values[0]) : values;
}

// Where the paths in play are written, in path order: each path's index,
// its offer and its present value. Each holds a slot for every path.
struct Packed {
  std::size_t* rows;
  double* offers;
  double* pvs;
  // A per-path regressor packed alongside, when there is one.
  const double* regressor = nullptr;
  double* regressors = nullptr;

  Packed after(std::size_t count) const {
    return {rows + count, offers + count, pvs + count, regressor,
            regressors != nullptr ? regressors + count : nullptr};
  }
};

// Packs the paths from `first` on whose offer lies strictly between `low`
// and `high`; returns how many. Every iteration writes one slot and moves on
// only when the path is kept, so no branch depends on the values.
std::size_t pack_between(std::span<const double> offer, const double* pv, std::size_t first,
                         double low, double high, Packed out) {
  std::size_t count = 0;
  for (std::size_t j = first; j < offer.size(); ++j) {
    const double v = offer[j];
    out.rows[count] = j;
    out.offers[count] = v;
    out.pvs[count] = pv[j];
    if (out.regressors != nullptr) out.regressors[count] = out.regressor[j];
    count += (v > low) & (v < high);
  }
  return count;
}

constexpr std::size_t kLanes = 8;

#if RAVLIN_X86_64_INTRINSICS
// The same eight paths at a time, keeping in `lanes` the bits of the kept
// paths of each group: the kept lanes are packed to the front of a register
// that is stored whole. Since count <= j, the stores stay within the slots,
// and what they write beyond the count is written again later or left
// beyond the result. The paths after the last whole group are packed one by one.
[[gnu::target("avx512f")]] std::size_t pack_between_avx512(std::span<const double> offer,
                                                          const double* pv, double low,
                                                          double high, Packed out,
                                                          std::vector<std::uint8_t>& lanes) {
  static_assert(sizeof(std::size_t) == sizeof(long long));
  lanes.resize(offer.size() / kLanes);
  const __m512d lows = _mm512_set1_pd(low);
  const __m512d highs = _mm512_set1_pd(high);
  __m512i index = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
  const __m512i step = _mm512_set1_epi64(kLanes);
  std::size_t count = 0;
  for (std::size_t g = 0; g < lanes.size(); ++g) {
    const std::size_t j = g * kLanes;
    const __m512d v = _mm512_loadu_pd(offer.data() + j);
    const __mmask8 keep =
        _mm512_cmp_pd_mask(v, lows, _CMP_GT_OQ) & _mm512_cmp_pd_mask(v, highs, _CMP_LT_OQ);
    _mm512_storeu_si512(out.rows + count, _mm512_maskz_compress_epi64(keep, index));
    _mm512_storeu_pd(out.offers + count, _mm512_maskz_compress_pd(keep, v));
    _mm512_storeu_pd(out.pvs + count, _mm512_maskz_compress_pd(keep, _mm512_loadu_pd(pv + j)));
    if (out.regressors != nullptr) {
      const __m512d r = _mm512_loadu_pd(out.regressor + j);
      _mm512_storeu_pd(out.regressors + count, _mm512_maskz_compress_pd(keep, r));
    }
    lanes[g] = keep;
    count += static_cast<std::size_t>(__builtin_popcount(keep));
    index = _mm512_add_epi64(index, step);
  }
  return count + pack_between(offer, pv, lanes.size() * kLanes, low, high, out.after(count));
}

bool wide_lanes() {
  static const bool wide = __builtin_cpu_supports("avx512f");
  return wide;
}
#else
// Without x86-64 intrinsics, paths are packed and decided one by one: the
// same paths, estimates and decisions.
bool wide_lanes() { return false; }

std::size_t pack_between_avx512(std::span<const double>, const double*, double, double, Packed,
                                std::vector<std::uint8_t>&) {
  return 0;
}
#endif

// Packs every path whose offer lies strictly between `low` and `high`, eight
// at a time where the processor can (and then with `lanes`; else `lanes` is
// emptied).
std::size_t pack_all_between(std::span<const double> offer, const double* pv, double low,
                             double high, Packed out, std::vector<std::uint8_t>& lanes) {
  if (wide_lanes()) return pack_between_avx512(offer, pv, low, high, out, lanes);
  lanes.clear();
  return pack_between(offer, pv, 0, low, high, out);
}

// taken[rows[k]] = 1 where offer[k] is what the chooser prefers to
// estimate[k], for k from `first` on.
RAVLIN_CLONES void take_preferred(
    bool larger, std::span<const double> offer, std::span<const double> estimate,
    std::span<const std::size_t> rows, std::size_t first, std::span<std::uint64_t> taken) {
  if (larger) {
    for (std::size_t k = first; k < rows.size(); ++k) taken[rows[k]] = offer[k] > estimate[k];
  } else {
    for (std::size_t k = first; k < rows.size(); ++k) taken[rows[k]] = offer[k] < estimate[k];
  }
}

#if RAVLIN_X86_64_INTRINSICS
// The decisions on every path of the whole groups of eight that `lanes`
// describes: each group's packed estimates are spread back to their paths
// and compared with the offers there. Returns how many packed paths these
// groups hold.
[[gnu::target("avx512f")]] std::size_t take_preferred_avx512(bool larger,
                                                            std::span<const double> offer,
                                                            std::span<const double> estimate,
                                                            std::span<const std::uint8_t> lanes,
                                                            std::span<std::uint64_t> taken) {
  const __m512i ones = _mm512_set1_epi64(1);
  std::size_t count = 0;
  for (std::size_t g = 0; g < lanes.size(); ++g) {
    const __mmask8 keep = lanes[g];
    const __m512d e = _mm512_maskz_expandloadu_pd(keep, estimate.data() + count);
    const __m512d v = _mm512_loadu_pd(offer.data() + g * kLanes);
    const __mmask8 preferred = larger ? _mm512_mask_cmp_pd_mask(keep, v, e, _CMP_GT_OQ)
                                      : _mm512_mask_cmp_pd_mask(keep, v, e, _CMP_LT_OQ);
    _mm512_storeu_si512(taken.data() + g * kLanes, _mm512_maskz_mov_epi64(preferred, ones));
    count += static_cast<std::size_t>(__builtin_popcount(keep));
  }
  return count;
}
#else
// Never called: without the intrinsics no path is packed in groups (`lanes` stays empty).
std::size_t take_preferred_avx512(bool, std::span<const double>, std::span<const double>,
                                  std::span<const std::uint8_t>, std::span<std::uint64_t>) {
  return 0;
}
#endif

// The paths where exercise can matter, packed by pack_all_between into
// `play`, `offers_in_play` and `pvs_in_play`, given the finite range of the
// offers: the offer is better for the chooser than its least favourable
// value over all paths (a put out of the money is never exercised). When the
// offer is the same on every path, every path with a finite offer.
// Returns whether the finite offers are all the same.
// With `regressor`, that per-path regressor is packed into its buffer too.
bool in_play(bool larger, std::span<const double> offer, const Values& pv,
             std::pair<double, double> range, std::vector<std::size_t>& play,
             std::vector<double>& offers_in_play, std::vector<double>& pvs_in_play,
             std::vector<std::uint8_t>& lanes, const double* regressor,
             std::vector<double>& regressor_in_play) {
  const auto [low, high] = range;
  const double worst = larger ? low : high;
  const double magnitude = low <= high ? std::max(std::abs(low), std::abs(high)) : 0.0;
  const double tolerance = kSameOffer * magnitude;
  const double threshold = larger ? worst + tolerance : worst - tolerance;
  play.resize(offer.size());
  offers_in_play.resize(offer.size());
  pvs_in_play.resize(offer.size());
  if (regressor != nullptr) regressor_in_play.resize(offer.size());
  const Packed out{play.data(), offers_in_play.data(), pvs_in_play.data(), regressor,
                   regressor != nullptr ? regressor_in_play.data() : nullptr};
  // NaN lies between no bounds; infinities are left out by the open bounds.
  constexpr double kInf = std::numeric_limits<double>::infinity();
  // Finite offers all alike beat their least favourable value nowhere.
  const bool same = low == high;
  std::size_t count = 0;
  if (!same) {
    count = larger ? pack_all_between(offer, pv.data(), threshold, kInf, out, lanes)
                   : pack_all_between(offer, pv.data(), -kInf, threshold, out, lanes);
  }
  if (count == 0) count = pack_all_between(offer, pv.data(), -kInf, kInf, out, lanes);
  play.resize(count);
  offers_in_play.resize(count);
  pvs_in_play.resize(count);
  if (regressor != nullptr) regressor_in_play.resize(count);
  return same;
}

ValuesOr<void> check_fits(const Values& values, std::size_t paths) {
  if (broadcast_length(paths, values.size()) == paths) return {};
  return std::unexpected(LengthMismatch{paths, values.size()});
}

}  // namespace

void ExerciseRegression::save(std::uint64_t event, const Values& discount,
                              std::vector<Values> regressors) {
  // A discount that is the same on every path (deterministic rates) is kept once.
  saved_.insert_or_assign(event, ChoiceInputs{compact(discount), std::move(regressors)});
}

ValuesOr<std::span<const std::uint64_t>> ExerciseRegression::decide(const Op& op, std::uint64_t event, const Values& pv,
                                          const Values& offer) {
  const auto found = saved_.find(event);
  if (found == saved_.end()) {
    throw std::logic_error("no regressors saved for event " + std::to_string(event));
  }
  const ChoiceInputs inputs = std::move(found->second);
  saved_.erase(found);
  if (pv.size() != paths_) return std::unexpected(LengthMismatch{paths_, pv.size()});
  RV_TRY(check_fits(offer, paths_));
  RV_TRY(check_fits(inputs.discount, paths_));
  for (const Values& regressor : inputs.regressors) RV_TRY(check_fits(regressor, paths_));

  const bool larger = op.is_max();
  // One usable discount for every path (deterministic rates) scales offers
  // and continuations alike: they are compared as they come, in money of the
  // valuation date, without dividing each of them by it.
  const bool common_discount = inputs.discount.size() == 1 && usable(inputs.discount[0]);
  if (!common_discount || offer.size() != paths_) {
    at_event_date(offer, inputs.discount, paths_, offered_);
  }
  const std::span<const double> offered =
      common_discount && offer.size() == paths_ ? offer.span() : std::span<const double>(offered_);
  std::vector<std::size_t>& play = play_;
  const auto range = simd::finite_range(offered);
  if (range.first == range.second && inputs.regressors.empty() &&
      settings_.calibration_paths == 0 &&
      take_unbeatable_offer(larger, offered, range.first, pv, inputs.discount, !common_discount)) {
    return std::span<const std::uint64_t>(taken_);
  }
  // One regressor per path, the common case, is packed with the paths.
  const bool one_regressor =
      inputs.regressors.size() == 1 && inputs.regressors[0].size() == paths_;
  const bool same_offer =
      in_play(larger, offered, pv, range, play, offer_column_, continuation_, lanes_,
              one_regressor ? inputs.regressors[0].data() : nullptr, regressor_column_);
  const PolynomialRegression::Columns columns =
      regressor_columns(inputs.regressors, one_regressor, offered, pv);
  const std::size_t fitting =
      settings_.calibration_paths > 0
          ? static_cast<std::size_t>(std::ranges::lower_bound(play, settings_.calibration_paths) -
                                     play.begin())
          : play.size();
  continuation_.resize(fitting);
  const std::size_t finite =
      to_event_date(continuation_, inputs.discount, !common_discount, play);
  if (same_offer && offer_beats_every_fit(larger, play)) {
    taken_.assign(paths_, 0);
    for (const std::size_t j : play) taken_[j] = 1;
    return std::span<const std::uint64_t>(taken_);
  }
  const PolynomialRegression fit = fit_continuation(columns, finite);
  estimate_.resize(play.size());
  fit.estimate_columns(columns, estimate_);
  decide_in_play(larger, offered);
  return std::span<const std::uint64_t>(taken_);
}

// The regressors' columns on the paths in play: the offer's or the one
// regressor's as packed, or gathered; paths where a gathered regressor is
// not finite leave play, and the packed columns follow.
PolynomialRegression::Columns ExerciseRegression::regressor_columns(
    const std::vector<Values>& regressors, bool one_regressor, std::span<const double> offered,
    const Values& pv) {
  if (regressors.empty()) {
    // The offer is its own regressor, finite on every path in play.
    views_.assign(1, offer_column_);
    return views_;
  }
  if (one_regressor && simd::all_finite(regressor_column_)) {
    views_.assign(1, regressor_column_);
    return views_;
  }
  gathered_.gather_finite(regressors, play_);
  if (play_.size() != offer_column_.size()) {
    lanes_.clear();
    offer_column_.resize(play_.size());
    continuation_.resize(play_.size());
    for (std::size_t k = 0; k < play_.size(); ++k) {
      offer_column_[k] = offered[play_[k]];
      continuation_[k] = pv[play_[k]];
    }
  }
  return gathered_.columns();
}

// The decisions on every path from the estimates on the paths in play: by
// whole groups of eight where the paths were packed so, then one by one.
void ExerciseRegression::decide_in_play(bool larger, std::span<const double> offered) {
  taken_.resize(paths_);
  std::size_t done = 0;
  std::size_t first_path = 0;
  if (!lanes_.empty()) {
    done = take_preferred_avx512(larger, offered, estimate_, lanes_, taken_);
    first_path = lanes_.size() * kLanes;
  }
  std::fill(taken_.begin() + static_cast<std::ptrdiff_t>(first_path), taken_.end(), 0);
  take_preferred(larger, offer_column_, estimate_, play_, done, taken_);
}

// Whether the offer, the same on every path in play, wins on all of them
// whatever the fit: it is beyond twice the norm of the continuations, which
// bounds every fitted value when the fit runs on exactly these paths (a
// least-squares fit projects the continuations). An issuer's reset to an
// unbeatable value is decided so without a fit.
bool ExerciseRegression::offer_beats_every_fit(bool larger, std::span<const std::size_t> play) const {
  if (play.empty() || continuation_.size() != play.size()) return false;
  const double offer = offer_column_.front();
  return beyond_twice_norm(larger, offer, simd::sum_of_squares(continuation_));
}

// Offers all alike (`offer` wherever finite), taken on every path with a
// finite offer without packing the paths, when they beat every fit there as
// offer_beats_every_fit tells: the issuer's reset at each date. Returns
// whether they did.
bool ExerciseRegression::take_unbeatable_offer(bool larger, std::span<const double> offered,
                                               double offer, const Values& pv,
                                               const Values& discount, bool divide) {
  if (!beyond_twice_norm(larger, offer, squares_where_finite(offered, pv, discount, divide))) {
    return false;
  }
  taken_.resize(paths_);
  for (std::size_t j = 0; j < paths_; ++j) taken_[j] = std::isfinite(offered[j]);
  return true;
}

// The fit of the continuation in money of the event's date on the leading
// rows of `columns` whose path fits (all, or the calibration paths alone) and
// whose continuation is finite.
PolynomialRegression ExerciseRegression::fit_continuation(PolynomialRegression::Columns columns,
                                                          std::size_t finite) {
  const std::size_t fitting = continuation_.size();
  if (finite == fitting) {
    std::vector<std::span<const double>> leading;
    for (const std::span<const double> column : columns) leading.push_back(column.first(fitting));
    return PolynomialRegression::fit_columns(leading, continuation_, settings_.basis_degree);
  }
  // Paths whose continuation is not finite stay out: the rare, slower road.
  std::vector<std::vector<double>> kept(columns.size());
  std::vector<double> target;
  for (std::size_t k = 0; k < fitting; ++k) {
    if (!std::isfinite(continuation_[k])) continue;
    for (std::size_t i = 0; i < columns.size(); ++i) kept[i].push_back(columns[i][k]);
    target.push_back(continuation_[k]);
  }
  const std::vector<std::span<const double>> views(kept.begin(), kept.end());
  return PolynomialRegression::fit_columns(views, target, settings_.basis_degree);
}

}  // namespace ravlin
