#include "qfd/engine.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/forwardmodel.hpp"
#include "model/interfaces.hpp"
#include "timetable/timetable.hpp"
#include "util/format.hpp"
#include "util/memory.hpp"
#include "util/overloaded.hpp"
#include "util/try.hpp"

namespace ravlin {

namespace {

constexpr std::int64_t kEarliest = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kLatest = std::numeric_limits<std::int64_t>::max();
// Shorter steps than this are not taken: zero-length and backward steps too.
constexpr double kMinStepYears = 1e-10;
// Beyond this the grid's largest buffer, the sweep scratch of kMaxLanes
// doubles per node, would be longer than a std::vector can be.
constexpr std::size_t kMaxNodesEachSide =
    (static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(double) /
         CnStep::kMaxLanes -
     1) /
    2;

// ---------------------------------------------------------------------------
// Checks before the grid is built

std::expected<void, ModelError> check_grid_settings(const FD1FParams& params,
                                                    const TimeTable& timetable) {
  RV_TRY(last_row_time(timetable));
  if (params.n_x == 0) return std::unexpected(ModelError::message("N_X must be at least 1"));
  if (params.n_x > kMaxNodesEachSide) {
    return std::unexpected(ModelError::message("N_X must be at most " +
                                               std::to_string(kMaxNodesEachSide) + ", got " +
                                               std::to_string(params.n_x)));
  }
  if (!(params.max_x > 0.0)) {
    return std::unexpected(
        ModelError::message("MAX_X must be positive, got " + format_double(params.max_x)));
  }
  if (std::isinf(params.max_x)) {
    return std::unexpected(ModelError::message("MAX_X must be finite, got inf"));
  }
  if (!(params.timestep * kYearMs >= 1.0)) {
    return std::unexpected(ModelError::message("TIMESTEP must be at least one millisecond, got " +
                                               format_double(params.timestep)));
  }
  return {};
}

// The grid walks the rows backward, so every row must lie at or after the
// row before it, and the first at or after the pricing time.
std::expected<void, ModelError> check_event_times(const TimeTable& timetable,
                                                  std::int64_t pricing_ts) {
  EventClock clock(pricing_ts, "missing time");
  for (std::size_t i = 0; i < timetable.size(); ++i) RV_TRY(clock.reach(timetable, i));
  return {};
}

// TIMESTEP in whole milliseconds (truncated); steps too long for int64 are
// as good as no regular steps at all.
std::int64_t regular_step_ms(double timestep) {
  const double ms = std::trunc(timestep * kYearMs);
  if (ms >= 0x1p63) return kLatest;
  return static_cast<std::int64_t>(ms);
}

std::int64_t lattice_below(std::int64_t time, std::int64_t step) {
  std::int64_t below;
  if (subtraction_overflows(time, step, &below)) return kEarliest;
  return below;
}

// ---------------------------------------------------------------------------
// The order of the backward walk

// What the backward walk does next: a step back to `time`, event `row`, or
// the model's jump number `row` (at `time`).
struct WalkAction {
  enum class Kind { Step, Event, Jump, Done };
  Kind kind;
  std::int64_t time = 0;
  std::size_t row = 0;
};

// The rows from the last to the first, with the regular steps of the lattice
// (anchored at the last row's time) before each row, a step to the row's time,
// then the lattice down to the pricing time and a last step to it. Steps
// shorter than kMinStepYears are left out, as the grid would skip them. The
// model's jump times after the pricing time and not after the start are
// stopped at: the walk steps to each, yields the rows at that time, then the
// jump, then goes on down.
class BackwardWalk {
 public:
  BackwardWalk(const TimeTable& timetable, std::int64_t start, std::int64_t step,
               std::int64_t pricing_ts, std::span<const std::int64_t> jumps = {})
      : timetable_(&timetable),
        row_(timetable.size() - 1),
        lattice_(lattice_below(start, step)),
        step_(step),
        pricing_ts_(pricing_ts),
        time_(start),
        jumps_(jumps),
        next_jump_(jumps_.size()) {
    // The first jump not after the start, then every one down to the first
    // after the pricing time.
    while (next_jump_ > 0 && jumps_[next_jump_ - 1] > start) --next_jump_;
  }

  WalkAction next() {
    for (;;) {
      switch (phase_) {
        case Phase::Lattice: {
          const std::int64_t row_time = timetable_->ts_at(row_);
          if (lattice_ > row_time) {
            if (const auto jump = jump_before(lattice_)) return *jump;
            if (const auto taken = regular_step()) return *taken;
            continue;
          }
          if (const auto jump = jump_before(row_time)) return *jump;
          phase_ = Phase::RowTime;
          if (take(row_time)) return step_to(row_time);
          continue;
        }
        case Phase::RowTime: {
          const std::size_t row = row_;
          if (row == 0) {
            phase_ = Phase::Tail;
          } else {
            --row_;
            phase_ = Phase::Lattice;
          }
          return {WalkAction::Kind::Event, 0, row};
        }
        case Phase::Tail:
          if (lattice_ > pricing_ts_) {
            if (const auto jump = jump_before(lattice_)) return *jump;
            if (const auto taken = regular_step()) return *taken;
            continue;
          }
          if (const auto jump = jump_before(pricing_ts_)) return *jump;
          phase_ = Phase::Done;
          if (take(pricing_ts_)) return step_to(pricing_ts_);
          continue;
        case Phase::Done:
          return {WalkAction::Kind::Done};
      }
    }
  }

  // The rows of the events the walk yields before its next step or jump, in
  // their order, and the target of its next step.
  std::optional<std::int64_t> peek(std::vector<std::size_t>& events) const {
    events.clear();
    bool collecting = true;
    BackwardWalk ahead = *this;
    for (;;) {
      const WalkAction action = ahead.next();
      if (action.kind == WalkAction::Kind::Step) return action.time;
      if (action.kind == WalkAction::Kind::Done) return std::nullopt;
      if (action.kind == WalkAction::Kind::Jump) collecting = false;
      if (collecting) events.push_back(action.row);
    }
  }

 private:
  // Lattice: regular steps before row_; RowTime: the step to row_'s time was
  // considered, row_ is next; Tail: regular steps before the pricing time.
  enum class Phase { Lattice, RowTime, Tail, Done };

  static WalkAction step_to(std::int64_t time) { return {WalkAction::Kind::Step, time}; }

  // Before a step down to `target`: a step to the next jump's time when it
  // lies above the target, or, once there, the jump itself.
  std::optional<WalkAction> jump_before(std::int64_t target) {
    if (next_jump_ == 0) return std::nullopt;
    const std::int64_t jump = jumps_[next_jump_ - 1];
    if (jump <= target || jump <= pricing_ts_) return std::nullopt;
    if (take(jump)) return step_to(jump);
    --next_jump_;
    return WalkAction{WalkAction::Kind::Jump, jump, next_jump_};
  }

  std::optional<WalkAction> regular_step() {
    const std::int64_t target = lattice_;
    lattice_ = lattice_below(lattice_, step_);
    if (take(target)) return step_to(target);
    return std::nullopt;
  }

  bool take(std::int64_t target) {
    if (year_fraction(time_, target) < kMinStepYears) return false;
    time_ = target;
    return true;
  }

  const TimeTable* timetable_;
  std::size_t row_;
  std::int64_t lattice_;
  std::int64_t step_;
  std::int64_t pricing_ts_;
  std::int64_t time_;  // the grid's time once the actions so far are done
  std::span<const std::int64_t> jumps_;
  std::size_t next_jump_;  // jumps_[next_jump_ - 1] is the next one down
  Phase phase_ = Phase::Lattice;
};

// ---------------------------------------------------------------------------
// Events

// The model's own per-node value of the asset, else its value in the
// dataset at the row's time, the same on every node; times the weight.
std::expected<Values, ModelError> grid_asset_value(const FDCN& model, const FdState& state,
                                                   std::string_view name, std::int64_t time,
                                                   const Values& weight) {
  if (std::optional<Values> on_nodes = model.get_model_val_cn(state, name)) {
    RV_ASSIGN(Values value, multiply(*on_nodes, weight));
    return value;
  }
  return model.params().dataset_value(weight, name, time);
}

std::expected<void, ModelError> one_track_event(const FDCN& model, FdState& state,
                                                const TimeTable& timetable, std::size_t i,
                                                Values value) {
  const Op& op = timetable.op_at(i);
  auto track = timetable.track_key_at(i);
  if (!track) return std::unexpected(ModelError(OpError::message(std::move(track).error())));
  RV_TRY(state.ledger.one_track_event(op, *track, std::move(value), i, model.params().flags));
  return {};
}

// A phrase valued on the grid's nodes, when the model values phrases there:
// its inputs are the modelled asset at points across each node's cell, or
// the base asset (1 everywhere); its last output, averaged over each cell,
// is the value on the node, so a jump of the payoff between two nodes
// counts by the share of the cell beyond it. Any other input (another
// asset, a snap, a phrase) is not valued on the grid.
std::expected<Values, ModelError> node_phrase_value(const FDCN& model, const FdState& state,
                                                    const TimeTable& timetable,
                                                    std::string_view name) {
  const EvalPhrase* phrase = timetable.get_phrase(name);
  if (phrase == nullptr) {
    return std::unexpected(ModelError::event_specs("Phrase not found#" + std::string(name)));
  }
  const std::size_t points = model.phrase_points();
  std::vector<Values> inputs;
  for (const std::string& input : phrase->iter_inp()) {
    if (std::optional<Values> cells = model.cell_values(state, input, points)) {
      inputs.push_back(std::move(*cells));
      continue;
    }
    auto curve = model.params().assets.asset_by_name(input);
    if (!curve || !(*curve)->is_base() || timetable.get_phrase(input) != nullptr) {
      return std::unexpected(ModelError::not_implemented("Phrase in FD: " + std::string(name)));
    }
    inputs.push_back(Values::scalar(1.0));
  }
  RV_ASSIGN(std::vector<Values> outputs, phrase->eval(inputs));
  if (outputs.empty()) return std::unexpected(ModelError::message("No output from phrase"));
  const Values& out = outputs.back();
  if (out.size() == 1) return out;
  if (out.size() != state.n * points) {
    return std::unexpected(ModelError(LengthMismatch{state.n * points, out.size()}));
  }
  Values value = Values::for_overwrite(state.n);
  for (std::size_t i = 0; i < state.n; ++i) {
    double sum = 0.0;
    for (std::size_t k = 0; k < points; ++k) sum += out[i * points + k];
    value[i] = sum / static_cast<double>(points);
  }
  return value;
}

// The event's value on its track; under a conditional op ("s", where the
// model values phrases on the grid), only on the share of each node that
// the phrase the op names gives, the later value on the rest.
std::expected<void, ModelError> event_on_track(const FDCN& model, FdState& state,
                                               const TimeTable& timetable, std::size_t i,
                                               Values value) {
  const Op::Text* condition = timetable.op_at(i).as_text();
  if (condition == nullptr || model.phrase_points() == 0) {
    return one_track_event(model, state, timetable, i, std::move(value));
  }
  RV_ASSIGN(const Values weight, node_phrase_value(model, state, timetable, condition->text));
  auto track = timetable.track_key_at(i);
  if (!track) return std::unexpected(ModelError(OpError::message(std::move(track).error())));
  RV_TRY(state.ledger.one_track_weights(weight, *track, std::move(value), i, model.params().flags));
  return {};
}

std::expected<void, ModelError> apply_event(const FDCN& model, FdState& state,
                                            const TimeTable& timetable, std::size_t i) {
  const double quantity = timetable.quantity_at(i);
  RV_ASSIGN(const std::uint64_t unit_key, event_unit_key(timetable, i));
  using Result = std::expected<void, ModelError>;
  return std::visit(
      overloaded{
          [&](const Unit::Track& unit) -> Result {
            RV_ASSIGN(const Values* pv, state.ledger.pv_vec(unit.key));
            return event_on_track(model, state, timetable, i, scaled(*pv, quantity));
          },
          [&](const Unit::Asset& unit) -> Result {
            RV_ASSIGN(Values value, grid_asset_value(model, state, unit.name, timetable.ts_at(i),
                                                     Values::scalar(quantity)));
            return event_on_track(model, state, timetable, i, std::move(value));
          },
          [&](const Unit::Snapper& unit) -> Result {
            return std::unexpected(ModelError::not_implemented("Snapper in FD: " + unit.name));
          },
          [&](const Unit::Snap& unit) -> Result {
            return std::unexpected(ModelError::not_implemented("Snap in FD: " + unit.name));
          },
          [&](const Unit::Phrase& unit) -> Result {
            if (model.phrase_points() == 0) {
              return std::unexpected(ModelError::not_implemented("Phrase in FD: " + unit.name));
            }
            RV_ASSIGN(const Values value, node_phrase_value(model, state, timetable, unit.name));
            return event_on_track(model, state, timetable, i, scaled(value, quantity));
          },
          [&](const Unit::Null&) -> Result {
            return std::unexpected(ModelError::event_specs("Unknown Unit"));
          },
      },
      timetable.unit_by_key(unit_key).kind);
}

// The kind of change an event's operation makes inside a step, if it is one
// that the ledger would make alone: without choices or cash flows to record.
std::optional<CnStep::Change::Kind> change_kind(const Op& op, std::uint32_t flags) {
  if (flags & kFlagCashflow) return std::nullopt;
  if (op.is_add()) return CnStep::Change::Kind::Add;
  if (flags & kFlagChoices) return std::nullopt;
  if (op.is_max()) return CnStep::Change::Kind::Max;
  if (op.is_min()) return CnStep::Change::Kind::Min;
  return std::nullopt;
}

// Event i as a change of the loaded vector of its track (its place in
// `loaded`), to be made by the step before it: an asset's value with "+",
// ">" or "<", of one element or of n. Anything else, and any failure, is left
// to the event's own turn in the walk, which reports the failure.
std::optional<CnStep::Change> change_in_step(
    const FDCN& model, const FdState& state, const TimeTable& timetable, std::size_t i,
    const std::unordered_map<std::uint64_t, std::size_t>& loaded) {
  const std::optional<CnStep::Change::Kind> kind = change_kind(timetable.op_at(i), model.params().flags);
  if (!kind) return std::nullopt;
  const auto track = timetable.track_key_at(i);
  if (!track) return std::nullopt;
  const auto vector = loaded.find(*track);
  if (vector == loaded.end()) return std::nullopt;
  const auto unit_key = event_unit_key(timetable, i);
  if (!unit_key) return std::nullopt;
  const auto* asset = std::get_if<Unit::Asset>(&timetable.unit_by_key(*unit_key).kind);
  if (!asset) return std::nullopt;
  auto value = grid_asset_value(model, state, asset->name, timetable.ts_at(i),
                                Values::scalar(timetable.quantity_at(i)));
  if (!value || (value->size() != 1 && value->size() != state.n)) return std::nullopt;
  return CnStep::Change{vector->second, *kind, std::move(*value)};
}

// ---------------------------------------------------------------------------
// Steps

// Carries every track's present values back through the steps of the walk.
// The coefficients of each step are formed while the step before it runs,
// so that their factorisation overlaps that step's back substitution; a
// failure of them is reported only when the walk reaches their step. Between
// two events the present values stay in the step's interleaved block; they
// go back to the ledger before anything reads or changes it (`release`).
// The events right after a step that only change a track's values by an
// asset's are made by the step itself, as it writes the values.
class GridStepper {
 public:
  GridStepper(FDCN& model, FdState& state, const TimeTable& timetable)
      : model_(model), state_(state), timetable_(timetable), step_(state.n) {}

  std::expected<void, ModelError> step_back(std::int64_t t_new, const BackwardWalk& walk) {
    if (!prepared_) {
      RV_TRY(form_next(t_new));
    } else if (prepared_error_) {
      return std::unexpected(std::move(*prepared_error_));
    }
    step_.advance();
    if (!loaded_) {
      RV_TRY(collect_tracks());
      step_.load(tracks_);
      loaded_ = true;
    }
    state_.t = t_new;
    prepare(walk.peek(upcoming_));
    collect_changes();
    step_.step(prepared_ && !prepared_error_, changes_);
    return {};
  }

  // Whether event `row`, the walk's next, was made by the step before it.
  bool made_in_step(std::size_t row) {
    if (made_ == changes_.size() || upcoming_[made_] != row) return false;
    ++made_;
    return true;
  }

  // The stepped present values back into the ledger.
  void release() {
    if (!loaded_) return;
    step_.store();
    loaded_ = false;
  }

 private:
  // The coefficients of the step from the state's time to `target`.
  std::expected<void, ModelError> form_next(std::int64_t target) {
    auto formed = model_.refresh_cn(state_, target, step_.next_matrices());
    if (!formed) step_.next_matrices().formed = false;  // the rows may be half written
    if (!formed || *formed) step_.next_changed();
    if (!formed) return std::unexpected(std::move(formed).error());
    return {};
  }

  void prepare(std::optional<std::int64_t> target) {
    prepared_ = target.has_value();
    prepared_error_.reset();
    if (!target) return;
    if (auto formed = form_next(*target); !formed) prepared_error_ = std::move(formed).error();
  }

  std::expected<void, ModelError> collect_tracks() {
    tracks_.clear();
    loaded_by_track_.clear();
    for (auto& [track, pv] : state_.ledger.pvs_by_track_mut()) {
      if (pv.size() != state_.n) return std::unexpected(LengthMismatch{state_.n, pv.size()});
      loaded_by_track_.emplace(track, tracks_.size());
      tracks_.push_back(pv.data());
    }
    return {};
  }

  // The changes of the events after this step, as far as the step can make
  // them in their order: up to the first it cannot, or a second of one track.
  void collect_changes() {
    changes_.clear();
    made_ = 0;
    changed_.assign(tracks_.size(), false);
    for (const std::size_t row : upcoming_) {
      auto change = change_in_step(model_, state_, timetable_, row, loaded_by_track_);
      if (!change || changed_[change->vector]) break;
      changed_[change->vector] = true;
      changes_.push_back(std::move(*change));
    }
  }

  FDCN& model_;
  FdState& state_;
  const TimeTable& timetable_;
  CnStep step_;
  std::vector<double*> tracks_;
  std::unordered_map<std::uint64_t, std::size_t> loaded_by_track_;
  bool loaded_ = false;
  bool prepared_ = false;
  std::optional<ModelError> prepared_error_;
  // The events after the step, the changes the step made of the first of
  // them, and how many of those the walk has reached.
  std::vector<std::size_t> upcoming_;
  std::vector<CnStep::Change> changes_;
  std::vector<bool> changed_;
  std::size_t made_ = 0;
};

// A step costs a product and a solve for every track, and the coefficients.
std::size_t action_work(const FdState& state, const WalkAction& action) {
  if (action.kind == WalkAction::Kind::Event) return event_work(state.n);
  return state.n * (state.ledger.pvs().size() + 1);
}

}  // namespace

std::expected<Ledger, ModelError> calculate_fd(FDCN& model, const TimeTable& timetable,
                                               CancelHook cancel, Values* nodes) {
  const FD1FParams& params = model.params();
  RV_TRY(check_grid_settings(params, timetable));
  RV_TRY(check_event_times(timetable, params.pricing_ts));
  // The grid and the step buffers, before any of them is allocated, with a
  // phrase's input and output at its points across each cell.
  check_value_memory(params.n_x * 2 + 1,
                     (CnStep::kDoublesPerNode + 1 + 2 * model.phrase_points()) * sizeof(double));
  RV_ASSIGN(FdState state, model.create_state_cn(timetable));

  BackwardWalk walk(timetable, state.t, regular_step_ms(params.timestep), params.pricing_ts,
                    model.jump_times());
  GridStepper stepper(model, state, timetable);
  CancelCheck check(cancel);
  std::optional<std::int64_t> last_step_from;
  for (WalkAction action = walk.next(); action.kind != WalkAction::Kind::Done;
       action = walk.next()) {
    if (check.stop_after(action_work(state, action))) {
      return std::unexpected(ModelError::cancelled());
    }
    if (action.kind == WalkAction::Kind::Step) {
      last_step_from = state.t;
      RV_TRY(stepper.step_back(action.time, walk));
      continue;
    }
    if (action.kind == WalkAction::Kind::Jump) {
      stepper.release();
      RV_TRY(model.apply_jump(state, action.row));
      continue;
    }
    if (stepper.made_in_step(action.row)) continue;
    stepper.release();
    if (auto applied = apply_event(model, state, timetable, action.row); !applied) {
      return std::unexpected(
          ModelError::event_error(timetable, action.row, applied.error()));
    }
  }
  stepper.release();
  if (nodes) {
    // Without any step, the coordinates over the shortest step there is.
    const std::int64_t from = last_step_from.value_or(state.t == kLatest ? state.t : state.t + 1);
    RV_ASSIGN(*nodes, model.node_coordinates(state, from));
  }
  return std::move(state).into_ledger();
}

std::expected<Values, ModelError> FDCN::node_coordinates(const FdState& state,
                                                         std::int64_t) const {
  return Values(std::span<const double>(state.x));
}

std::expected<void, ModelError> FDCN::apply_jump(FdState&, std::size_t) const { return {}; }

std::optional<Values> FDCN::cell_values(const FdState&, std::string_view, std::size_t) const {
  return std::nullopt;
}

std::expected<bool, ModelError> FDCN::refresh_cn(const FdState& state, std::int64_t t_new,
                                                 CnMatrices& m) const {
  m.formed = false;
  m.uniform = false;
  RV_TRY(cn_coefficients(state, t_new, m.s, m.r));
  return true;
}

std::expected<double, ModelError> price_fd(const FDCN& model, const Ledger& ledger) {
  RV_ASSIGN(const Values* pv, ledger.pv_vec(0));
  const std::size_t middle = model.params().n_x;
  if (pv->size() <= middle) return std::unexpected(LengthMismatch{2 * middle + 1, pv->size()});
  return (*pv)[middle];
}

}  // namespace ravlin
