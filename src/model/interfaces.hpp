// The interfaces every model values a timetable through, and the shared
// evaluation of names, phrases and snappers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "expr/eval_phrase.hpp"
#include "ledger/ledger.hpp"
#include "model/error.hpp"
#include "model/forwardstate.hpp"
#include "timetable/op.hpp"
#include "util/portable.hpp"
#include "util/values.hpp"

namespace ravlin {

class Assets;
class TimeTable;

inline constexpr double kYearMs = 31536000000.0;  // milliseconds of a 365-day year

// (time - origin) in years of 365 days, the difference taken in integers;
// exact for any two timestamps, even where the difference leaves int64 (it
// is then taken in 128 bits, or without them as its magnitude in uint64,
// where it always fits; every conversion rounds the same integer alike).
inline double year_fraction(std::int64_t time, std::int64_t origin) {
  std::int64_t difference = 0;
  if (!subtraction_overflows(time, origin, &difference)) {
    return static_cast<double>(difference) / kYearMs;
  }
#if defined(__SIZEOF_INT128__)
  return static_cast<double>(static_cast<__int128>(time) - origin) / kYearMs;
#else
  const auto t = static_cast<std::uint64_t>(time), o = static_cast<std::uint64_t>(origin);
  return (time > origin ? static_cast<double>(t - o) : -static_cast<double>(o - t)) / kYearMs;
#endif
}

// A model that values timetables: the whole run gives a ledger, the ledger a price.
class PricingModel {
 public:
  virtual ~PricingModel() = default;
  virtual std::expected<Ledger, ModelError> calculate(const TimeTable& timetable) = 0;
  virtual std::expected<double, ModelError> price(const Ledger& ledger) = 0;
};

// The value of names on every path, for models over FwdModelStateGeneric.
class LangModel {
 public:
  virtual ~LangModel() = default;
  // The asset called `name` at `time` (milliseconds), shaped like `multiplier`.
  virtual std::expected<Values, ModelError> asset_value(FwdModelStateGeneric& state,
                                                        const Values& multiplier,
                                                        std::string_view name,
                                                        std::int64_t time) = 0;
};

// The unit key of event `index`; a null unit index is the event's
// EventSpecs "Missing Unit Name" in every model.
std::expected<std::uint64_t, ModelError> event_unit_key(const TimeTable& timetable,
                                                        std::size_t index);

// A phrase of that name, else a snapped value, else the model's asset value.
std::expected<Values, ModelError> name_value(LangModel& model, FwdModelStateGeneric& state,
                                             const TimeTable& timetable, std::string_view name,
                                             std::int64_t time);
// The last output of the phrase evaluated on the values of its input names.
std::expected<Values, ModelError> phrase_value_1(LangModel& model, FwdModelStateGeneric& state,
                                                 const TimeTable& timetable,
                                                 const EvalPhrase& phrase, std::int64_t time);
// Saves the event's amount: a plain payment, or for a Text op a payment
// conditional on the value of the name the op holds.
std::expected<void, ModelError> gr_save(LangModel& model, FwdModelStateGeneric& state,
                                        const TimeTable& timetable, std::size_t index,
                                        Values amount, const Op& op, std::int64_t time);
// Evaluates the snapper `name` and stores its outputs in the state's snaps.
std::expected<void, ModelError> eval_snapper(LangModel& model, FwdModelStateGeneric& state,
                                             const TimeTable& timetable, std::string_view name,
                                             std::int64_t time);

// Arrays that a ledger of `paths` paths takes: `paths` elements, or one for all
// paths; otherwise the LengthMismatch of the two lengths.
inline std::expected<void, ModelError> check_fits_paths(const Values& values,
                                                        std::size_t paths) {
  if (values.size() == paths || values.size() == 1) return {};
  return std::unexpected(ModelError(LengthMismatch{values.size(), paths}));
}

}  // namespace ravlin
