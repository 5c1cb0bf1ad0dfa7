#include "model/interfaces.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "timetable/timetable.hpp"
#include "util/try.hpp"

namespace ravlin {

namespace {

// The phrases whose evaluation is under way, innermost first, so that a
// phrase reached again through its own inputs is reported instead of
// recursing without end. Lives on the stack of the evaluation.
struct PhraseChain {
  const EvalPhrase* phrase;
  const PhraseChain* outer;

  bool holds(const EvalPhrase* candidate) const {
    for (const PhraseChain* link = this; link != nullptr; link = link->outer) {
      if (link->phrase == candidate) return true;
    }
    return false;
  }
};

std::expected<Values, ModelError> phrase_value_in(LangModel& model, FwdModelStateGeneric& state,
                                                  const TimeTable& timetable,
                                                  const EvalPhrase& phrase, std::int64_t time,
                                                  const PhraseChain* outer);

std::expected<Values, ModelError> name_value_in(LangModel& model, FwdModelStateGeneric& state,
                                                const TimeTable& timetable, std::string_view name,
                                                std::int64_t time, const PhraseChain* chain) {
  if (const EvalPhrase* phrase = timetable.get_phrase(name)) {
    if (chain != nullptr && chain->holds(phrase)) {
      return std::unexpected(
          ModelError::message("Phrase '" + std::string(name) + "' depends on its own value"));
    }
    return phrase_value_in(model, state, timetable, *phrase, time, chain);
  }
  if (auto snap = state.snaps.find(std::string(name)); snap != state.snaps.end()) {
    return snap->second;
  }
  return model.asset_value(state, Values::scalar(1.0), name, time);
}

// The values of the phrase's input names, in order.
std::expected<std::vector<Values>, ModelError> input_values(LangModel& model,
                                                            FwdModelStateGeneric& state,
                                                            const TimeTable& timetable,
                                                            const EvalPhrase& phrase,
                                                            std::int64_t time,
                                                            const PhraseChain* chain) {
  const std::vector<std::string>& names = phrase.iter_inp();
  std::vector<Values> inputs;
  inputs.reserve(names.size());
  for (const std::string& name : names) {
    RV_ASSIGN(Values value, name_value_in(model, state, timetable, name, time, chain));
    inputs.push_back(std::move(value));
  }
  return inputs;
}

std::expected<Values, ModelError> phrase_value_in(LangModel& model, FwdModelStateGeneric& state,
                                                  const TimeTable& timetable,
                                                  const EvalPhrase& phrase, std::int64_t time,
                                                  const PhraseChain* outer) {
  const PhraseChain chain{&phrase, outer};
  RV_ASSIGN(std::vector<Values> inputs,
            input_values(model, state, timetable, phrase, time, &chain));
  RV_ASSIGN(std::vector<Values> outputs, phrase.eval(inputs));
  if (outputs.empty()) return std::unexpected(ModelError::message("No output from phrase"));
  return std::move(outputs.back());
}

}  // namespace

std::expected<void, ModelError> check_fits_paths(const Values& values, std::size_t paths) {
  const auto length = checked_length(values.size(), paths);
  if (!length || *length != paths) {
    return std::unexpected(ModelError(LengthMismatch{values.size(), paths}));
  }
  return {};
}

std::expected<std::uint64_t, ModelError> event_unit_key(const TimeTable& timetable,
                                                        std::size_t index) {
  const std::optional<std::uint64_t> key = timetable.unit_key_at(index);
  if (!key) return std::unexpected(ModelError::event_specs("Missing Unit Name"));
  return *key;
}

std::expected<Values, ModelError> name_value(LangModel& model, FwdModelStateGeneric& state,
                                             const TimeTable& timetable, std::string_view name,
                                             std::int64_t time) {
  return name_value_in(model, state, timetable, name, time, nullptr);
}

std::expected<Values, ModelError> phrase_value_1(LangModel& model, FwdModelStateGeneric& state,
                                                 const TimeTable& timetable,
                                                 const EvalPhrase& phrase, std::int64_t time) {
  return phrase_value_in(model, state, timetable, phrase, time, nullptr);
}

std::expected<void, ModelError> gr_save(LangModel& model, FwdModelStateGeneric& state,
                                        const TimeTable& timetable, std::size_t index,
                                        Values amount, const Op& op, std::int64_t time) {
  RV_TRY(check_fits_paths(amount, state.paths()));
  const Op::Text* condition = op.as_text();
  if (condition == nullptr) {
    state.graph.save_pay(index, std::move(amount));
    return {};
  }
  RV_ASSIGN(Values weight, name_value(model, state, timetable, condition->text, time));
  RV_TRY(check_fits_paths(weight, state.paths()));
  state.graph.save_cond_pay(index, std::move(amount), std::move(weight));
  return {};
}

std::expected<void, ModelError> eval_snapper(LangModel& model, FwdModelStateGeneric& state,
                                             const TimeTable& timetable, std::string_view name,
                                             std::int64_t time) {
  auto snapper = timetable.snapper_by_name(name);
  if (!snapper) return std::unexpected(ModelError(OpError::message(std::move(snapper).error())));
  const Snapper& found = **snapper;
  RV_ASSIGN(std::vector<Values> inputs,
            input_values(model, state, timetable, *found.phrase, time, nullptr));
  RV_ASSIGN(std::vector<Values> outputs, found.phrase->eval(inputs));
  const std::size_t paired = std::min(outputs.size(), found.out.size());
  for (std::size_t k = 0; k < paired; ++k) {
    state.snaps.insert_or_assign(found.out[k], std::move(outputs[k]));
  }
  return {};
}

std::expected<Values, ModelError> snap_unit_value(const FwdModelStateGeneric& state,
                                                  const std::string& name, const Values& weight) {
  const auto snap = state.snaps.find(name);
  if (snap == state.snaps.end()) {
    return std::unexpected(ModelError::message("Unknown Snap '" + name + "'"));
  }
  RV_ASSIGN(Values value, multiply(snap->second, weight));
  return value;
}

std::expected<Values, ModelError> phrase_unit_value(LangModel& model, FwdModelStateGeneric& state,
                                                    const TimeTable& timetable,
                                                    std::string_view name, const Values& weight,
                                                    std::int64_t time) {
  const EvalPhrase* phrase = timetable.get_phrase(name);
  if (phrase == nullptr) {
    return std::unexpected(ModelError::event_specs("Phrase not found#" + std::string(name)));
  }
  RV_ASSIGN(Values value, phrase_value_1(model, state, timetable, *phrase, time));
  RV_TRY(multiply_in_place(value, weight));
  return value;
}

}  // namespace ravlin
