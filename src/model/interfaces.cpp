#include "model/interfaces.hpp"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "timetable/timetable.hpp"
#include "util/try.hpp"

namespace ravlin {

namespace {

// A snapped value of that name, else the model's asset value.
std::expected<Values, ModelError> leaf_value(LangModel& model, FwdModelStateGeneric& state,
                                             std::string_view name, std::int64_t time) {
  if (auto snap = state.snaps.find(std::string(name)); snap != state.snaps.end()) {
    return snap->second;
  }
  return model.asset_value(state, Values::scalar(1.0), name, time);
}

// The last output of the phrase evaluated on `inputs`.
std::expected<Values, ModelError> last_output(const EvalPhrase& phrase,
                                              const std::vector<Values>& inputs) {
  RV_ASSIGN(std::vector<Values> outputs, phrase.eval(inputs));
  if (outputs.empty()) return std::unexpected(ModelError::message("No output from phrase"));
  return std::move(outputs.back());
}

// A phrase whose inputs are being gathered.
struct PhraseFrame {
  const EvalPhrase* phrase;
  std::size_t next_input = 0;
  std::vector<Values> inputs;
};

// The values of a phrase's input names, in order; an input that names a
// phrase is evaluated first, the same way. The phrases under way are kept on
// a stack of our own rather than the call stack, so that a chain of
// thousands of phrases, each the input of the one before, cannot overflow
// the thread's stack (also of a thread with a small one); a phrase met again
// while it is under way depends on its own value and is reported.
class InputEvaluation {
 public:
  InputEvaluation(LangModel& model, FwdModelStateGeneric& state, const TimeTable& timetable,
                  std::int64_t time)
      : model_(model), state_(state), timetable_(timetable), time_(time) {}

  std::expected<std::vector<Values>, ModelError> run(const EvalPhrase& root) {
    enter(root);
    for (;;) {
      PhraseFrame& top = frames_.back();
      const std::vector<std::string>& names = top.phrase->iter_inp();
      if (top.next_input < names.size()) {
        RV_TRY(gather(names[top.next_input++]));
        continue;
      }
      if (frames_.size() == 1) return std::move(top.inputs);
      RV_ASSIGN(Values value, last_output(*top.phrase, top.inputs));
      leave();
      frames_.back().inputs.push_back(std::move(value));
    }
  }

 private:
  // A phrase input opens a frame; a snap or an asset is valued at once.
  std::expected<void, ModelError> gather(const std::string& name) {
    if (const EvalPhrase* phrase = timetable_.get_phrase(name)) {
      if (under_way_.contains(phrase)) {
        return std::unexpected(ModelError::message("Phrase '" + name + "' depends on its own value"));
      }
      enter(*phrase);
      return {};
    }
    RV_ASSIGN(Values value, leaf_value(model_, state_, name, time_));
    frames_.back().inputs.push_back(std::move(value));
    return {};
  }

  void enter(const EvalPhrase& phrase) {
    under_way_.insert(&phrase);
    frames_.push_back(PhraseFrame{&phrase, 0, {}});
    frames_.back().inputs.reserve(phrase.iter_inp().size());
  }

  void leave() {
    under_way_.erase(frames_.back().phrase);
    frames_.pop_back();
  }

  LangModel& model_;
  FwdModelStateGeneric& state_;
  const TimeTable& timetable_;
  std::int64_t time_;
  std::vector<PhraseFrame> frames_;
  std::unordered_set<const EvalPhrase*> under_way_;
};

// The values of the phrase's input names, in order.
std::expected<std::vector<Values>, ModelError> input_values(LangModel& model,
                                                            FwdModelStateGeneric& state,
                                                            const TimeTable& timetable,
                                                            const EvalPhrase& phrase,
                                                            std::int64_t time) {
  return InputEvaluation(model, state, timetable, time).run(phrase);
}

}  // namespace



std::expected<std::uint64_t, ModelError> event_unit_key(const TimeTable& timetable,
                                                        std::size_t index) {
  const std::optional<std::uint64_t> key = timetable.unit_key_at(index);
  if (!key) return std::unexpected(ModelError::event_specs("Missing Unit Name"));
  return *key;
}

std::expected<Values, ModelError> name_value(LangModel& model, FwdModelStateGeneric& state,
                                             const TimeTable& timetable, std::string_view name,
                                             std::int64_t time) {
  if (const EvalPhrase* phrase = timetable.get_phrase(name)) {
    return phrase_value_1(model, state, timetable, *phrase, time);
  }
  return leaf_value(model, state, name, time);
}

std::expected<Values, ModelError> phrase_value_1(LangModel& model, FwdModelStateGeneric& state,
                                                 const TimeTable& timetable,
                                                 const EvalPhrase& phrase, std::int64_t time) {
  RV_ASSIGN(std::vector<Values> inputs, input_values(model, state, timetable, phrase, time));
  return last_output(phrase, inputs);
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
            input_values(model, state, timetable, *found.phrase, time));
  RV_ASSIGN(std::vector<Values> outputs, found.phrase->eval(inputs));
  const std::size_t paired = std::min(outputs.size(), found.out.size());
  for (std::size_t k = 0; k < paired; ++k) {
    state.snaps.insert_or_assign(found.out[k], std::move(outputs[k]));
  }
  return {};
}

}  // namespace ravlin
