#include "qdt/fixed.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ledger/depgraph.hpp"
#include "model/forwardstate.hpp"
#include "timetable/timetable.hpp"
#include "util/overloaded.hpp"
#include "util/try.hpp"

namespace ravlin {

namespace {

// One event of the forward walk, with its discounted quantity as `amount`
// (a single element, kept inline by Values).
struct FixedEvent {
  Fixed& model;
  FwdModelStateGeneric& state;
  const TimeTable& timetable;
  std::size_t index;
  std::int64_t time;
  double years;
};

// The payments of a batch event: the pay function's outputs read as one list
// per batch output of one entry per batch input (output k * inputs + i pays
// input i into output k); entries beyond the returned list are absent.
std::expected<BatchPayments, ModelError> batch_payments(std::vector<Values> outputs,
                                                        std::size_t out_count,
                                                        std::size_t inp_count,
                                                        std::size_t paths) {
  BatchPayments payments(out_count, std::vector<std::optional<Values>>(inp_count));
  for (std::size_t k = 0; k < out_count; ++k) {
    for (std::size_t i = 0; i < inp_count; ++i) {
      const std::size_t position = k * inp_count + i;
      if (position >= outputs.size()) return payments;
      RV_TRY(check_fits_paths(outputs[position], paths));
      payments[k][i] = std::move(outputs[position]);
    }
  }
  return payments;
}

std::expected<void, ModelError> save_batch_event(const FixedEvent& event, const std::string& name,
                                                 const Values& amount) {
  auto batch = event.timetable.batch_by_name(name);
  if (!batch) return std::unexpected(ModelError(OpError::message(std::move(batch).error())));
  const Batch& found = **batch;
  std::vector<Values> inputs;
  inputs.reserve(found.iter_inp().size());
  for (const std::string& input : found.iter_inp()) {
    RV_ASSIGN(const double value, event.model.assets().asset_value(input, event.years));
    inputs.push_back(scaled(amount, value));
  }
  RV_ASSIGN(std::vector<Values> outputs, found.eval_pay_fn(inputs));
  RV_ASSIGN(BatchPayments payments,
            batch_payments(std::move(outputs), found.out_tracks.size(), inputs.size(),
                           event.state.paths()));
  event.state.graph.save_batch_pay(event.index, std::move(payments));
  return {};
}

// Saves what the event pays, by the kind of its unit.
std::expected<void, ModelError> save_event(const FixedEvent& event, Values amount) {
  const TimeTable& timetable = event.timetable;
  const std::optional<std::uint64_t> unit_key = timetable.unit_key_at(event.index);
  if (!unit_key) return std::unexpected(ModelError::event_specs("Missing Unit Name"));
  const auto save = [&](Values value) {
    return gr_save(event.model, event.state, timetable, event.index, std::move(value),
                   timetable.op_at(event.index), event.time);
  };
  return std::visit(
      overloaded{
          [&](const Unit::Track& unit) -> std::expected<void, ModelError> {
            event.state.graph.save_t(event.index, unit.key);
            return {};
          },
          [&](const Unit::Asset& unit) -> std::expected<void, ModelError> {
            RV_ASSIGN(const double value,
                      event.model.assets().asset_value(unit.name, event.years));
            amount[0] *= value;
            return save(std::move(amount));
          },
          [&](const Unit::Snapper& unit) -> std::expected<void, ModelError> {
            return eval_snapper(event.model, event.state, timetable, unit.name, event.time);
          },
          [&](const Unit::Snap& unit) -> std::expected<void, ModelError> {
            RV_ASSIGN(Values value, snap_unit_value(event.state, unit.name, amount));
            return save(std::move(value));
          },
          [&](const Unit::Phrase& unit) -> std::expected<void, ModelError> {
            RV_ASSIGN(Values value, phrase_unit_value(event.model, event.state, timetable,
                                                      unit.name, amount, event.time));
            return save(std::move(value));
          },
          [&](const Unit::Batch& unit) -> std::expected<void, ModelError> {
            return save_batch_event(event, unit.name, amount);
          },
          [&](const Unit::Null&) -> std::expected<void, ModelError> {
            return std::unexpected(ModelError::message("Unknown Unit"));
          },
      },
      timetable.unit_by_key(*unit_key).kind);
}

}  // namespace

std::expected<Ledger, ModelError> Fixed::calculate(const TimeTable& timetable) {
  FwdModelStateGeneric state = create_fwd_state(timetable, 1);
  std::int64_t current = pricing_ts_;
  for (std::size_t i = 0; i < timetable.size(); ++i) {
    const std::optional<std::int64_t> time = timetable.ts_opt(i);
    if (!time) return std::unexpected(ModelError::event_error(timetable, i, "No event time"));
    if (*time < current) return std::unexpected(ModelError::event_in_past(timetable, i, current));
    const double years = year_fraction(*time, pricing_ts_);
    RV_ASSIGN(const double df, assets_.discount_factor(years));
    state.discount = Values::scalar(df);
    const FixedEvent event{*this, state, timetable, i, *time, years};
    if (auto saved = save_event(event, Values::scalar(df * timetable.quantity_at(i))); !saved) {
      return std::unexpected(ModelError::event_error(timetable, i, saved.error().text()));
    }
    current = *time;
  }
  RV_TRY(evolve_pvs_backward(state, timetable, flags_));
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
  RV_ASSIGN(const double value, assets_.asset_value(name, year_fraction(time, pricing_ts_)));
  return scaled(multiplier, value);
}

}  // namespace ravlin
