#include "python_module/pyapi.hpp"

#include <algorithm>
#include <string>

#include "qmc/regression.hpp"
#include "python_module/pyasset.hpp"

namespace ravlin::py {

ParseResult<Fixed> fixed_from_dataset(PyObject* dataset) {
  RV_ASSIGN(Assets assets, create_assets(dataset));
  RV_ASSIGN(auto pricing_ts, get_typed<std::int64_t>(dataset, "PRICING_TS"));
  std::uint32_t flags = 0;
  auto settings = get_any(dataset, "FIXED");
  if (settings) {
    if (PyDict_Check(settings->get())) {
      RV_ASSIGN(flags, get_flag(settings->get()));
    }
  } else if (!std::holds_alternative<PyParseError::MissingKey>(settings.error().kind)) {
    return std::unexpected(std::move(settings).error());
  }
  return Fixed(std::move(assets), pricing_ts, flags);
}

namespace {

PyParseError invalid_value(std::string key, std::string value) {
  return PyParseError::Kind{PyParseError::InvalidValue{std::move(key), std::move(value)}};
}

// An optional switch of our own: 0 (the default) or 1.
ParseResult<bool> get_switch(PyObject* settings, std::string_view key) {
  RV_ASSIGN(const auto value, get_optional<std::uint64_t>(settings, key));
  if (value.value_or(0) > 1) return std::unexpected(invalid_value(std::string(key), std::to_string(*value)));
  return value.value_or(0) == 1;
}

}  // namespace

ParseResult<bool> release_gil(PyObject* dataset, std::string_view section) {
  auto settings = get_any(dataset, section);
  if (!settings) {
    if (std::holds_alternative<PyParseError::MissingKey>(settings.error().kind)) return false;
    return std::unexpected(std::move(settings).error());
  }
  if (!PyDict_Check(settings->get())) return false;
  return get_switch(settings->get(), "RELEASE_GIL");
}

namespace {

ParseResult<ExerciseMethod> get_exercise_method(PyObject* settings) {
  RV_ASSIGN(const auto method, get_optional<std::string>(settings, "EXERCISE"));
  if (!method || *method == "PATHWISE") return ExerciseMethod::Pathwise;
  if (*method == "REGRESSION") return ExerciseMethod::Regression;
  return std::unexpected(invalid_value("EXERCISE", *method));
}

}  // namespace

ParseResult<ExerciseSettings> get_exercise(PyObject* settings, std::size_t paths) {
  ExerciseSettings exercise;
  RV_ASSIGN(exercise.method, get_exercise_method(settings));
  RV_ASSIGN(const auto degree, get_optional<std::uint64_t>(settings, "BASIS_DEGREE"));
  exercise.basis_degree = degree.value_or(exercise.basis_degree);
  if (exercise.basis_degree > kMaxBasisDegree) {
    return std::unexpected(PyParseError::message(
        "BASIS_DEGREE must be at most " + std::to_string(kMaxBasisDegree) + ", got " +
        std::to_string(exercise.basis_degree)));
  }
  RV_ASSIGN(auto names, get_optional<std::vector<std::string>>(settings, "REGRESSORS"));
  if (names && names->empty()) {
    return std::unexpected(PyParseError::message("REGRESSORS must name at least one regressor"));
  }
  exercise.regressors = std::move(names).value_or(std::vector<std::string>{});
  const std::size_t variables = std::max<std::size_t>(1, exercise.regressors.size());
  if (!basis_size(variables, exercise.basis_degree, kMaxBasisFunctions)) {
    return std::unexpected(PyParseError::message(
        "BASIS_DEGREE " + std::to_string(exercise.basis_degree) + " with " +
        std::to_string(variables) + " regressors needs more than " +
        std::to_string(kMaxBasisFunctions) + " basis functions"));
  }
  RV_ASSIGN(const auto calibration, get_optional<std::uint64_t>(settings, "CALIBRATION_PATHS"));
  exercise.calibration_paths = calibration.value_or(0);
  if (exercise.calibration_paths > 0 && exercise.calibration_paths >= paths) {
    return std::unexpected(PyParseError::message(
        "CALIBRATION_PATHS must leave at least one of the " + std::to_string(paths) +
        " PATHS to price, got " + std::to_string(exercise.calibration_paths)));
  }
  return exercise;
}

ParseResult<MCParams> get_mc_params(PyObject* dataset) {
  MCParams params;
  RV_ASSIGN(params.assets, create_assets(dataset));
  RV_ASSIGN(PyRef settings, get_dict(dataset, "MC"));
  RV_ASSIGN(params.paths, get_typed<std::size_t>(settings.get(), "PATHS"));
  RV_ASSIGN(params.seed, get_typed<std::uint64_t>(settings.get(), "SEED"));
  RV_ASSIGN(params.flags, get_flag(settings.get()));
  RV_ASSIGN(params.pricing_ts, get_typed<std::int64_t>(dataset, "PRICING_TS"));
  RV_ASSIGN(params.exercise, get_exercise(settings.get(), params.paths));
  return params;
}

ParseResult<FD1FParams> get_fd_1f(PyObject* dataset) {
  FD1FParams params;
  RV_ASSIGN(params.assets, create_assets(dataset));
  RV_ASSIGN(PyRef settings, get_dict(dataset, "FD"));
  RV_ASSIGN(params.n_x, get_typed<std::size_t>(settings.get(), "N_X"));
  RV_ASSIGN(params.max_x, get_typed<double>(settings.get(), "MAX_X"));
  params.n = 2 * params.n_x + 1;
  RV_ASSIGN(params.timestep, get_typed<double>(settings.get(), "TIMESTEP"));
  RV_ASSIGN(params.flags, get_flag(settings.get()));
  RV_ASSIGN(params.pricing_ts, get_typed<std::int64_t>(dataset, "PRICING_TS"));
  RV_ASSIGN(params.nodes, get_switch(settings.get(), "NODES"));
  return params;
}

namespace {

// Points per cell at which phrases are valued on the nodes: beyond this the
// phrase's arrays would outgrow any use.
constexpr std::uint64_t kMaxPhrasePoints = 1024;

// An optional table of our own under `key`: rows of (year fraction, amount),
// read as ex-dividend rows; absent, none.
ParseResult<std::vector<Dividend>> get_dividends(PyObject* settings, std::string_view key,
                                                 bool proportional, std::int64_t pricing_ts) {
  auto value = get_any(settings, key);
  if (!value) {
    if (std::holds_alternative<PyParseError::MissingKey>(value.error().kind)) {
      return std::vector<Dividend>{};
    }
    return std::unexpected(std::move(value).error());
  }
  auto table = get_2col_array(value->get(), key);
  if (!table) {
    return std::unexpected(PyParseError::Kind{
        PyParseError::WrongType{std::string(key), std::move(table).error().text()}});
  }
  auto dividends = dividends_from_rows(table->first, table->second, proportional, pricing_ts);
  if (!dividends) return std::unexpected(PyParseError::message(std::string(key) + ": " + dividends.error()));
  return std::move(*dividends);
}

// "VOL" of "HW" or "BS": a number, as ever, or (ours) a two-dimensional
// array of rows (start, volatility). Anything else fails as a number does.
ParseResult<ShortRateVolatility> get_piecewise_vol(PyObject* settings) {
  auto number = get_typed<double>(settings, "VOL");
  if (number) return ShortRateVolatility(*number);
  if (!std::holds_alternative<PyParseError::WrongType>(number.error().kind)) {
    return std::unexpected(std::move(number).error());
  }
  RV_ASSIGN(const PyRef value, get_any(settings, "VOL"));
  if (!is_numpy_matrix(value.get())) return std::unexpected(std::move(number).error());
  auto table = get_2col_array(value.get(), "VOL");
  if (!table) {
    return std::unexpected(
        PyParseError::Kind{PyParseError::WrongType{"VOL", std::move(table).error().text()}});
  }
  auto vol = ShortRateVolatility::piecewise(std::move(table->first), std::move(table->second));
  if (!vol) return std::unexpected(PyParseError::message("VOL: " + vol.error()));
  return std::move(*vol);
}

// One array of `ndim` dimensions under `key` of the local volatility table.
ParseResult<FloatArray> get_table_part(PyObject* table, std::string_view key, int ndim) {
  RV_ASSIGN(const PyRef value, get_any(table, key));
  auto array = get_float64_array(value.get(), ndim);
  if (!array) {
    return std::unexpected(
        PyParseError::Kind{PyParseError::WrongType{std::string(key), std::move(array).error().text()}});
  }
  return std::move(*array);
}

// "VOL" of "BS" as a local volatility table (ours): a dictionary of "TIMES"
// (n years), "SPOTS" (m prices) and "VOLS" (n rows of m volatilities).
ParseResult<LocalVolTable> get_local_vol(PyObject* table) {
  RV_ASSIGN(FloatArray times, get_table_part(table, "TIMES", 1));
  RV_ASSIGN(FloatArray spots, get_table_part(table, "SPOTS", 1));
  RV_ASSIGN(FloatArray vols, get_table_part(table, "VOLS", 2));
  if (vols.shape != std::vector<std::size_t>{times.values.size(), spots.values.size()}) {
    return std::unexpected(PyParseError::message(
        "VOL: VOLS must have a row for each of the " + std::to_string(times.values.size()) +
        " TIMES and a column for each of the " + std::to_string(spots.values.size()) + " SPOTS"));
  }
  auto local = LocalVolTable::create(std::move(times.values), std::move(spots.values),
                                     std::move(vols.values));
  if (!local) return std::unexpected(PyParseError::message("VOL: " + local.error()));
  return std::move(*local);
}

}  // namespace

ParseResult<BlackScholesCN> black_scholes_from_dataset(PyObject* dataset) {
  RV_ASSIGN(FD1FParams params, get_fd_1f(dataset));
  RV_ASSIGN(PyRef settings, get_dict(dataset, "BS"));
  // A number, as ever; ours: rows of (start, volatility), or a dictionary
  // holding a local volatility table.
  std::optional<LocalVolTable> local;
  auto number = get_typed<double>(settings.get(), "VOL");
  if (!number && std::holds_alternative<PyParseError::WrongType>(number.error().kind)) {
    RV_ASSIGN(const PyRef value, get_any(settings.get(), "VOL"));
    if (PyDict_Check(value.get())) {
      RV_ASSIGN(local, get_local_vol(value.get()));
    }
  }
  std::optional<ShortRateVolatility> pieces;
  if (!number && !local) {
    RV_ASSIGN(pieces, get_piecewise_vol(settings.get()));
  }
  RV_ASSIGN(auto asset, get_typed<std::string>(settings.get(), "ASSET"));
  const std::int64_t pricing_ts = params.pricing_ts;
  RV_ASSIGN(std::vector<Dividend> dividends,
            get_dividends(settings.get(), "DIVIDENDS", false, pricing_ts));
  RV_ASSIGN(std::vector<Dividend> proportional,
            get_dividends(settings.get(), "PROPORTIONAL_DIVIDENDS", true, pricing_ts));
  BlackScholesCN model(std::move(params), std::move(asset), number.value_or(0.0));
  RV_ASSIGN(const auto points, get_optional<std::uint64_t>(settings.get(), "PHRASES"));
  if (points.value_or(0) > kMaxPhrasePoints) {
    return std::unexpected(invalid_value("PHRASES", std::to_string(*points)));
  }
  model.set_phrase_points(points.value_or(0));
  if (pieces) model.set_volatility_pieces(std::move(*pieces));
  if (local) model.set_local_volatility(std::move(*local));
  if (!dividends.empty() || !proportional.empty()) {
    dividends.insert(dividends.end(), proportional.begin(), proportional.end());
    model.set_dividends(std::move(dividends));
  }
  RV_ASSIGN(const bool fit_forward, get_switch(settings.get(), "FIT_FORWARD"));
  model.set_fit_forward(fit_forward);
  return model;
}

ParseResult<HullWhiteCN> hull_white_from_dataset(PyObject* dataset) {
  RV_ASSIGN(FD1FParams params, get_fd_1f(dataset));
  RV_ASSIGN(PyRef settings, get_dict(dataset, "HW"));
  RV_ASSIGN(auto meanrev, get_typed<double>(settings.get(), "MEANREV"));
  RV_ASSIGN(ShortRateVolatility vol, get_piecewise_vol(settings.get()));
  RV_ASSIGN(const bool fit_curve, get_switch(settings.get(), "CURVE_FIT"));
  return HullWhiteCN(std::move(params), meanrev, std::move(vol), fit_curve);
}

}  // namespace ravlin::py
