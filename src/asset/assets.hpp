// The market data of one pricing call: named curves and the base asset.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <unordered_map>

#include "asset/error.hpp"
#include "asset/forward.hpp"

namespace ravlin {

class Assets {
 public:
  Assets() = default;
  Assets(std::unordered_map<std::string, AssetLogFwd> curves, std::string base)
      : curves_(std::move(curves)), base_(std::move(base)) {}

  const std::string& base() const { return base_; }
  std::expected<const AssetLogFwd*, AssetError> asset_by_name(std::string_view name) const;
  std::expected<const AssetLogFwd*, AssetError> base_asset() const;
  // 1.0 for the base asset, exp(L(t)) otherwise (curve errors unwrapped).
  std::expected<double, AssetError> asset_value(std::string_view name, double t) const;
  // The curve's rate, its failure wrapped as RateError.
  std::expected<double, AssetError> asset_rate(std::string_view name, double t_a,
                                               double t_b) const;
  // exp(-L(t)) of the base curve, its failure wrapped as SpotError "discount factor".
  std::expected<double, AssetError> discount_factor(double t) const;

 private:
  std::unordered_map<std::string, AssetLogFwd> curves_;
  std::string base_;
};

}  // namespace ravlin
