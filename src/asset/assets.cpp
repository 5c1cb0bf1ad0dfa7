#include "asset/assets.hpp"

#include <cmath>

#include "util/try.hpp"

namespace ravlin {

std::expected<const AssetLogFwd*, AssetError> Assets::asset_by_name(std::string_view name) const {
  // Asset names are short, so the key string stays in its small buffer.
  const auto found = curves_.find(std::string(name));
  if (found == curves_.end()) {
    return std::unexpected(AssetError::Kind{AssetError::AssetNotFound{std::string(name)}});
  }
  return &found->second;
}

std::expected<const AssetLogFwd*, AssetError> Assets::base_asset() const {
  return asset_by_name(base_);
}

std::expected<double, AssetError> Assets::asset_value(std::string_view name, double t) const {
  RV_ASSIGN(const AssetLogFwd* curve, asset_by_name(name));
  // The base asset is the unit of account: worth one at every time.
  if (curve->is_base()) return 1.0;
  RV_ASSIGN(const double log_value, curve->log_value(t));
  return std::exp(log_value);
}

std::expected<double, AssetError> Assets::asset_rate(std::string_view name, double t_a,
                                                     double t_b) const {
  RV_ASSIGN(const AssetLogFwd* curve, asset_by_name(name));
  auto rate = curve->rate(t_a, t_b);
  if (!rate) {
    return std::unexpected(
        AssetError::rate_error(std::string(name), std::move(rate).error(), t_a, t_b));
  }
  return *rate;
}

std::expected<double, AssetError> Assets::discount_factor(double t) const {
  RV_ASSIGN(const AssetLogFwd* curve, base_asset());
  auto log_value = curve->log_value(t);
  if (!log_value) {
    return std::unexpected(AssetError::spot_error("discount factor", std::move(log_value).error(), t));
  }
  return std::exp(-*log_value);
}

}  // namespace ravlin
