// A local volatility on the Black-Scholes grid: sigma(t, S) from a table of
// times by prices, linear in time and in the log of the price between its
// rows and columns, flat beyond them.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace ravlin {

class LocalVolTable {
 public:
  // `vols` holds one row of volatilities per time, one column per price
  // (row-major). Times (year fractions from the pricing time) and prices
  // must rise strictly, prices be positive, volatilities finite and not
  // negative; otherwise the text of the fault.
  static std::expected<LocalVolTable, std::string> create(std::vector<double> times,
                                                          std::vector<double> spots,
                                                          std::vector<double> vols);

  // Where between the table's columns each grid node's log price x lies;
  // node_variance then reads the nodes in this order.
  void place_nodes(std::span<const double> x);

  // The rows around a time and the weight of the later one.
  struct Rows {
    std::size_t first = 0;
    double weight = 0.0;
  };
  Rows rows_at(double years) const;
  // sigma^2 at node i at the time of `rows`.
  double node_variance(std::size_t i, const Rows& rows) const {
    const std::size_t k = cell_[i];
    const double w = weight_[i];
    const std::size_t columns = log_spots_.size();
    const double* early = vols_.data() + rows.first * columns;
    const double* late = early + (rows.weight > 0.0 ? columns : 0);
    const double at_early = early[k] * (1.0 - w) + early[k + 1] * w;
    const double at_late = late[k] * (1.0 - w) + late[k + 1] * w;
    const double vol = at_early * (1.0 - rows.weight) + at_late * rows.weight;
    return vol * vol;
  }

 private:
  LocalVolTable(std::vector<double> times, std::vector<double> log_spots, std::vector<double> vols)
      : times_(std::move(times)), log_spots_(std::move(log_spots)), vols_(std::move(vols)) {}

  std::vector<double> times_;
  std::vector<double> log_spots_;
  std::vector<double> vols_;  // with a repeated last column when there is one price
  std::vector<std::size_t> cell_;
  std::vector<double> weight_;
};

}  // namespace ravlin
