#include "python_module/pyapi.hpp"

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

ParseResult<MCParams> get_mc_params(PyObject* dataset) {
  MCParams params;
  RV_ASSIGN(params.assets, create_assets(dataset));
  RV_ASSIGN(PyRef settings, get_dict(dataset, "MC"));
  RV_ASSIGN(params.paths, get_typed<std::size_t>(settings.get(), "PATHS"));
  RV_ASSIGN(params.seed, get_typed<std::uint64_t>(settings.get(), "SEED"));
  RV_ASSIGN(params.flags, get_flag(settings.get()));
  RV_ASSIGN(params.pricing_ts, get_typed<std::int64_t>(dataset, "PRICING_TS"));
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
  return params;
}

ParseResult<BlackScholesCN> black_scholes_from_dataset(PyObject* dataset) {
  RV_ASSIGN(FD1FParams params, get_fd_1f(dataset));
  RV_ASSIGN(PyRef settings, get_dict(dataset, "BS"));
  RV_ASSIGN(auto vol, get_typed<double>(settings.get(), "VOL"));
  RV_ASSIGN(auto asset, get_typed<std::string>(settings.get(), "ASSET"));
  return BlackScholesCN(std::move(params), std::move(asset), vol);
}

ParseResult<HullWhiteCN> hull_white_from_dataset(PyObject* dataset) {
  RV_ASSIGN(FD1FParams params, get_fd_1f(dataset));
  RV_ASSIGN(PyRef settings, get_dict(dataset, "HW"));
  RV_ASSIGN(auto meanrev, get_typed<double>(settings.get(), "MEANREV"));
  RV_ASSIGN(auto vol, get_typed<double>(settings.get(), "VOL"));
  return HullWhiteCN(std::move(params), meanrev, vol);
}

}  // namespace ravlin::py
