#include "model/settings.hpp"

#include "model/interfaces.hpp"
#include "util/try.hpp"

namespace ravlin {

std::expected<Values, ModelError> ModelSettings::dataset_value(const Values& weight,
                                                               std::string_view name,
                                                               std::int64_t time) const {
  RV_ASSIGN(const double value, assets.asset_value(name, year_fraction(time, pricing_ts)));
  return scaled(weight, value);
}

}  // namespace ravlin
