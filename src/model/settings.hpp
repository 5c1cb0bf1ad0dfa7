// The settings every model reads from the dataset: the market, the pricing
// time and what the ledger records.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

#include "asset/assets.hpp"
#include "model/error.hpp"
#include "util/values.hpp"

namespace ravlin {

struct ModelSettings {
  Assets assets;
  std::int64_t pricing_ts = 0;  // milliseconds; year fractions count from it
  std::uint32_t flags = 0;      // what the ledger records (FLAGS)

  // The dataset's value of the asset `name` at `time`, times `weight`: what
  // every model falls back on when it has no value of its own.
  std::expected<Values, ModelError> dataset_value(const Values& weight, std::string_view name,
                                                  std::int64_t time) const;
};

}  // namespace ravlin
