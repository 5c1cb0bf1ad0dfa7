// The deterministic model: one path, discounting with the dataset's curve.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

#include "asset/assets.hpp"
#include "ledger/ledger.hpp"
#include "model/error.hpp"
#include "model/forwardmodel.hpp"
#include "model/interfaces.hpp"
#include "util/cancel.hpp"

namespace ravlin {

class TimeTable;

class Fixed final : public PricingModel, public LangModel {
 public:
  Fixed(Assets assets, std::int64_t pricing_ts, std::uint32_t flags)
      : settings_{std::move(assets), pricing_ts, flags} {}

  std::expected<Ledger, ModelError> calculate(const TimeTable& timetable) override {
    return calculate(timetable, CancelHook{});
  }
  // `cancel` can stop the calculation between events.
  std::expected<Ledger, ModelError> calculate(const TimeTable& timetable, CancelHook cancel);
  // Track 0's single present value.
  std::expected<double, ModelError> price(const Ledger& ledger) override;
  std::expected<Values, ModelError> asset_value(FwdModelStateGeneric& state,
                                                const Values& multiplier,
                                                std::string_view name,
                                                std::int64_t time) override;

  const Assets& assets() const { return settings_.assets; }
  std::int64_t pricing_ts() const { return settings_.pricing_ts; }
  std::uint32_t flags() const { return settings_.flags; }

 private:
  ModelSettings settings_;
};

}  // namespace ravlin
