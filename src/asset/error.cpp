#include "asset/error.hpp"

#include "util/format.hpp"
#include "util/overloaded.hpp"

namespace ravlin {

AssetError AssetError::rate_error(std::string name, AssetError inner, double t_a, double t_b) {
  return Kind{RateError{std::move(name), t_a, t_b, std::make_unique<AssetError>(std::move(inner))}};
}

AssetError AssetError::spot_error(std::string name, AssetError inner, double t) {
  return Kind{SpotError{std::move(name), t, std::make_unique<AssetError>(std::move(inner))}};
}

std::string AssetError::text() const {
  return std::visit(
      overloaded{
          [](const InterpolateError& k) { return "InterpolateError " + k.detail; },
          [](const BuilderError& k) { return "BuilderError " + k.detail; },
          [](const RateError& k) {
            return "Error in '" + k.name + "' rate from time " + format_double(k.t_b) + " to " +
                   format_double(k.t_a) + ", caused by \n'" + k.inner->text() + "'";
          },
          [](const SpotError& k) {
            return "Error in '" + k.name + "' value at " + format_double(k.t) +
                   ", caused by \n'" + k.inner->text() + "'";
          },
          [](const OutOfRange& k) {
            return "Error: Interpolation out of range at time " + format_double(k.t) +
                   ".\n Perhaps the time range in forwards/discount data is too short.";
          },
          [](const DivideByZero&) { return std::string("Error: Divide by zero"); },
          [](const NotImplemented& k) { return "Feature Not Implemented: `" + k.feature + "`"; },
          [](const AssetNotFound& k) {
            return "Asset '" + k.name + "' not found in snaps, expressions, or in dataset[ASSETS]";
          },
      },
      kind);
}

}  // namespace ravlin
