// The models of the four pricing functions, built from the dataset.
#pragma once

#include <Python.h>

#include "python_module/pyutils.hpp"
#include "qdt/fixed.hpp"
#include "qfd/black_scholes.hpp"
#include "qfd/hull_white.hpp"
#include "qmc/engine.hpp"

namespace ravlin::py {

// Assets, "PRICING_TS", and "FLAGS" of "FIXED" when "FIXED" is a dictionary.
ParseResult<Fixed> fixed_from_dataset(PyObject* dataset);
// "RELEASE_GIL" (ours, 0 or 1, default 0) of the settings dictionary
// `section` ("FIXED", "FD"): whether the calculation runs without the
// interpreter lock. False when the section is absent or no dictionary.
ParseResult<bool> release_gil(PyObject* dataset, std::string_view section);
// "EXERCISE", "BASIS_DEGREE", "REGRESSORS", "CALIBRATION_PATHS" of "MC",
// each optional; pathwise exercise when "EXERCISE" is absent.
ParseResult<ExerciseSettings> get_exercise(PyObject* settings, std::size_t paths);
// Assets, then "MC": "PATHS", "SEED", "FLAGS", then "PRICING_TS", then the
// exercise keys.
ParseResult<MCParams> get_mc_params(PyObject* dataset);
// Assets, then "FD": "N_X", "MAX_X", "TIMESTEP", "FLAGS", then "PRICING_TS",
// then our optional "NODES" of "FD".
ParseResult<FD1FParams> get_fd_1f(PyObject* dataset);
// Grid settings, then "BS": "VOL", "ASSET", then our optional "DIVIDENDS"
// and "PROPORTIONAL_DIVIDENDS" (rows of ex-date in years and amount).
ParseResult<BlackScholesCN> black_scholes_from_dataset(PyObject* dataset);
// Grid settings, then "HW": "MEANREV", "VOL" (a number, or ours: rows of
// start and volatility), then our optional "CURVE_FIT".
ParseResult<HullWhiteCN> hull_white_from_dataset(PyObject* dataset);

}  // namespace ravlin::py
