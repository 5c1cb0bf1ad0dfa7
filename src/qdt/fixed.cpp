#include "qdt/fixed.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ledger/depgraph.hpp"
#include "model/forwardstate.hpp"
#include "timetable/timetable.hpp"
#include "util/try.hpp"

namespace ravlin {

namespace {

// The curves of one calculation, each found once: looking the base curve and
// the asset units up by name at every event would hash the same few names
// for each of possibly millions of events. Event times only rise, so each
// curve is walked with a cursor. The values are those of
// Assets::discount_factor and Assets::asset_value, which also give the errors.
class CurveCache final : public AssetUnits {
 public:
  CurveCache(const Assets& assets, std::int64_t pricing_ts, std::size_t units)
      : assets_(assets), pricing_ts_(pricing_ts), by_unit_(units) {
    if (auto base = assets.base_asset()) base_.emplace(**base);
  }

  std::expected<double, AssetError> discount_factor(double years) {
    if (base_) {
      if (auto log_value = base_->log_value(years)) return std::exp(-*log_value);
    }
    return assets_.discount_factor(years);
  }

  std::expected<double, AssetError> asset_value(std::uint64_t unit_key, const std::string& name,
                                                double years) {
    std::optional<CurveCursor>& unit = by_unit_[unit_key];
    if (!unit) {
      auto found = assets_.asset_by_name(name);
      if (!found) return std::unexpected(std::move(found).error());
      unit.emplace(**found);
    }
    if (unit->curve().is_base()) return 1.0;
    if (auto log_value = unit->log_value(years)) return std::exp(*log_value);
    return assets_.asset_value(name, years);
  }

  // The event's weight (its one discounted quantity) times the asset's value.
  std::expected<Values, ModelError> weighted_value(const ForwardEvent& event,
                                                   std::uint64_t unit_key,
                                                   const std::string& name) override {
    RV_ASSIGN(const double value,
              asset_value(unit_key, name, year_fraction(event.time, pricing_ts_)));
    Values amount = event.weight();
    amount[0] *= value;
    return amount;
  }

 private:
  const Assets& assets_;
  std::int64_t pricing_ts_;
  std::optional<CurveCursor> base_;
  std::vector<std::optional<CurveCursor>> by_unit_;
};

// An asset unit paid under a plain op ("+", ">", "<" or none): the form of
// nearly every event of a deterministic contract.
struct AssetPayment {
  std::uint64_t unit_key;
  const std::string& name;
};

std::optional<AssetPayment> plain_asset_payment(const TimeTable& timetable, std::size_t i) {
  const std::optional<std::uint64_t> key = timetable.unit_key_at(i);
  if (!key || timetable.op_at(i).as_text() != nullptr) return std::nullopt;
  const auto* asset = std::get_if<Unit::Asset>(&timetable.unit_by_key(*key).kind);
  if (asset == nullptr) return std::nullopt;
  return AssetPayment{*key, asset->name};
}

// Saves such a payment as gr_save does for a plain op, without the dispatch
// on the unit and the op that every other event goes through.
std::expected<void, ModelError> save_asset_payment(FwdModelStateGeneric& state,
                                                   CurveCache& curves, const AssetPayment& unit,
                                                   std::size_t index, double amount,
                                                   double years) {
  RV_ASSIGN(const double value, curves.asset_value(unit.unit_key, unit.name, years));
  state.graph.save_pay(index, Values::scalar(amount * value));
  return {};
}

}  // namespace

std::expected<Ledger, ModelError> Fixed::calculate(const TimeTable& timetable,
                                                  CancelHook cancel) {
  FwdModelStateGeneric state = create_fwd_state(timetable, 1);
  CurveCache curves(settings_.assets, settings_.pricing_ts, timetable.units().size());
  CancelCheck check(cancel);
  EventClock clock(settings_.pricing_ts, "No event time");
  for (std::size_t i = 0; i < timetable.size(); ++i) {
    if (check.stop_after(event_work(1))) return std::unexpected(ModelError::cancelled());
    RV_ASSIGN(const std::int64_t time, clock.reach(timetable, i));
    const double years = year_fraction(time, settings_.pricing_ts);
    RV_ASSIGN(const double df, curves.discount_factor(years));
    state.discount = Values::scalar(df);
    const double amount = df * timetable.quantity_at(i);
    const auto in_event = [&](const ModelError& error) {
      return std::unexpected(ModelError::event_error(timetable, i, error));
    };
    if (const auto payment = plain_asset_payment(timetable, i)) {
      if (auto saved = save_asset_payment(state, curves, *payment, i, amount, years); !saved) {
        return in_event(saved.error());
      }
    } else if (auto saved = save_event(ForwardEvent{*this, state, timetable, i, time}, curves);
               !saved) {
      return in_event(saved.error());
    }
  }
  RV_TRY(evolve_pvs_backward(state, timetable, settings_.flags, cancel));
  return std::move(state).into_ledger();
}

std::expected<double, ModelError> Fixed::price(const Ledger& ledger) {
  RV_ASSIGN(const Values* pv, ledger.pv_vec(0));
  if (pv->empty()) return std::unexpected(ModelError::message("Empty PV Vector"));
  return (*pv)[0];
}

std::expected<Values, ModelError> Fixed::asset_value(FwdModelStateGeneric&,
                                                     const Values& multiplier,
                                                     std::string_view name, std::int64_t time) {
  return settings_.dataset_value(multiplier, name, time);
}

}  // namespace ravlin
