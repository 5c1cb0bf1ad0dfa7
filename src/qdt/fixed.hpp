// The deterministic model: one path, discounting with the dataset's curve.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

#include "asset/assets.hpp"
#include "ledger/ledger.hpp"
#include "model/error.hpp"
#include "model/interfaces.hpp"
#include "util/cancel.hpp"

namespace ravlin {

class TimeTable;

class Fixed final : public PricingModel, public LangModel {
 public:
  Fixed(Assets assets, std::int64_t pricing_ts, std::uint32_t flags)
      : assets_(std::move(assets)), pricing_ts_(pricing_ts), flags_(flags) {}

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

  const Assets& assets() const { return assets_; }
  std::int64_t pricing_ts() const { return pricing_ts_; }
  std::uint32_t flags() const { return flags_; }

 private:
  Assets assets_;
  std::int64_t pricing_ts_;
  std::uint32_t flags_;
};

}  // namespace ravlin
