#include "asset/error.hpp"

#include "util/format.hpp"
#include "util/overloaded.hpp"

namespace ravlin {

namespace {

// The words of a rate or value error before the error it wraps.
std::string head(const AssetError::RateError& k) {
  return "Error in '" + k.name + "' rate from time " + format_double(k.t_b) + " to " +
         format_double(k.t_a);
}

std::string head(const AssetError::SpotError& k) {
  return "Error in '" + k.name + "' value at " + format_double(k.t);
}

}  // namespace

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
          [](const RateError& k) { return head(k) + ", caused by \n'" + k.inner->text() + "'"; },
          [](const SpotError& k) { return head(k) + ", caused by \n'" + k.inner->text() + "'"; },
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

Causes AssetError::causes() const {
  if (const auto* rate = std::get_if<RateError>(&kind)) {
    return caused_by(head(*rate), rate->inner->causes());
  }
  if (const auto* spot = std::get_if<SpotError>(&kind)) {
    return caused_by(head(*spot), spot->inner->causes());
  }
  return {text()};
}

}  // namespace ravlin
