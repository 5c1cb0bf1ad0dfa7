// Tridiagonal algebra and the shared Crank-Nicolson step.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "qfd/crank.hpp"
#include "timetable/op.hpp"

namespace ravlin {
namespace {

// Diagonally dominant, with signs and sizes of both kinds.
Tridiagonal random_matrix(std::size_t n, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> off(-1.0, 1.0);
  std::uniform_real_distribution<double> margin(0.1, 3.0);
  Tridiagonal m(n);
  for (std::size_t i = 0; i < n; ++i) {
    m.lower[i] = off(rng);
    m.upper[i] = off(rng);
    const double dominance = std::fabs(m.lower[i]) + std::fabs(m.upper[i]) + margin(rng);
    m.diag[i] = (rng() & 1) ? dominance : -dominance;
  }
  return m;
}

std::vector<double> random_vector(std::size_t n, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> value(-100.0, 100.0);
  std::vector<double> v(n);
  for (double& x : v) x = value(rng);
  return v;
}

class TridiagonalSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(TridiagonalSizes, SolveInvertsProduct) {
  const std::size_t n = GetParam();
  std::mt19937_64 rng(n);
  for (int trial = 0; trial < 20; ++trial) {
    const Tridiagonal m = random_matrix(n, rng);
    const std::vector<double> v = random_vector(n, rng);
    const std::vector<double> back = m.solve(m.product(v));
    ASSERT_EQ(back.size(), n);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(back[i], v[i], 1e-12 * 100.0) << "row " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, TridiagonalSizes, ::testing::Values(2, 3, 4, 17, 201, 2001));

TEST(Tridiagonal, ProductUsesOnlyTheBandsInsideTheMatrix) {
  Tridiagonal m(3);
  m.lower = {99.0, 1.0, 2.0};  // lower[0] lies outside the matrix
  m.diag = {3.0, 4.0, 5.0};
  m.upper = {6.0, 7.0, 99.0};  // so does upper[n-1]
  EXPECT_EQ(m.product({1.0, 10.0, 100.0}), (std::vector<double>{63.0, 741.0, 520.0}));
}

// ---------------------------------------------------------------------------
// The shared step against product then solve, track by track

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<std::uint64_t>(a[i]) != std::bit_cast<std::uint64_t>(b[i])) return false;
  }
  return true;
}

// Crank-Nicolson-like matrices: R random, S = -2I - R, as the grid models build them.
void fill_step(Tridiagonal& s, Tridiagonal& r, std::mt19937_64& rng) {
  const Tridiagonal random = random_matrix(r.n, rng);
  for (std::size_t i = 0; i < r.n; ++i) {
    r.lower[i] = random.lower[i] * 0.3;
    r.diag[i] = -std::fabs(random.diag[i]) * 0.1;
    r.upper[i] = random.upper[i] * 0.3;
    s.lower[i] = -r.lower[i];
    s.diag[i] = -2.0 - r.diag[i];
    s.upper[i] = -r.upper[i];
  }
}

struct StepCase {
  std::size_t tracks;
  std::size_t n;
};

class SharedStep : public ::testing::TestWithParam<StepCase> {};

// Several steps in a row, each step's factorisation formed during the step
// before it, every track equal bit for bit to its own product and solve.
TEST_P(SharedStep, EqualsProductThenSolveBitForBit) {
  const auto [track_count, n] = GetParam();
  std::mt19937_64 rng(track_count * 1000 + n);
  std::vector<std::vector<double>> tracks, expected;
  for (std::size_t k = 0; k < track_count; ++k) tracks.push_back(random_vector(n, rng));
  expected = tracks;
  std::vector<double*> pointers;
  for (auto& track : tracks) pointers.push_back(track.data());

  constexpr int kSteps = 4;
  std::vector<Tridiagonal> s(kSteps, Tridiagonal(n)), r(kSteps, Tridiagonal(n));
  for (int step = 0; step < kSteps; ++step) fill_step(s[step], r[step], rng);

  CnStep shared(n);
  shared.next_s() = s[0];
  shared.next_r() = r[0];
  for (int step = 0; step < kSteps; ++step) {
    shared.advance();
    // The last step looks ahead to nothing; the one before it factorises
    // the next step on its own, outside the sweeps.
    const bool ahead = step + 1 < kSteps && step != kSteps - 2;
    if (step + 1 < kSteps) {
      shared.next_s() = s[step + 1];
      shared.next_r() = r[step + 1];
    }
    shared.apply(pointers, ahead);
    for (auto& v : expected) v = s[step].solve(r[step].product(v));
  }
  for (std::size_t k = 0; k < track_count; ++k) {
    EXPECT_TRUE(same_bits(tracks[k], expected[k])) << "track " << k;
  }
}

// The events right after a step, made by the step as it writes the rows:
// the same bits as the ledger's own operations after it. Either every track
// is changed alike by one value (padding lanes along), or the kinds and the
// values' lengths vary, every fourth track is left alone, and the values hold
// a NaN and both zeros.
TEST_P(SharedStep, ChangesEqualTheLedgersOperationsAfterTheStep) {
  const auto [track_count, n] = GetParam();
  using Kind = CnStep::Change::Kind;
  const Kind kinds[] = {Kind::Add, Kind::Max, Kind::Min};
  const char* codes[] = {"+", ">", "<"};
  for (const bool alike : {true, false}) {
    SCOPED_TRACE(alike ? "alike" : "varied");
    std::mt19937_64 rng(track_count * 1000 + n + alike);
    std::vector<std::vector<double>> tracks;
    for (std::size_t k = 0; k < track_count; ++k) tracks.push_back(random_vector(n, rng));
    Tridiagonal s(n), r(n);
    fill_step(s, r, rng);
    std::vector<Values> expected;
    std::vector<CnStep::Change> changes;
    for (std::size_t k = 0; k < track_count; ++k) {
      expected.emplace_back(std::span<const double>(s.solve(r.product(tracks[k]))));
      if (!alike && k % 4 == 3) continue;
      const std::size_t kind = alike ? 1 : k % 3;
      Values value = Values::scalar(10.0 * static_cast<double>(k));
      if (!alike && k % 2 == 0) {
        value = Values(std::span<const double>(random_vector(n, rng)));
        value[0] = std::nan("");
        value[n - 1] = k % 4 == 0 ? -0.0 : 0.0;
      }
      ASSERT_TRUE(Op::parse(codes[kind]).apply(expected[k], value));
      changes.push_back({k, kinds[kind], std::move(value)});
    }
    std::vector<double*> pointers;
    for (auto& track : tracks) pointers.push_back(track.data());
    CnStep shared(n);
    shared.next_s() = s;
    shared.next_r() = r;
    shared.advance();
    shared.load(pointers);
    shared.step(false, changes);
    shared.store();
    for (std::size_t k = 0; k < track_count; ++k) {
      EXPECT_TRUE(same_bits(tracks[k], std::vector<double>(expected[k].begin(), expected[k].end())))
          << "track " << k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(TracksAndSizes, SharedStep,
                         ::testing::Values(StepCase{1, 3}, StepCase{1, 2001}, StepCase{2, 21},
                                           StepCase{3, 21}, StepCase{4, 101}, StepCase{5, 101},
                                           StepCase{9, 41}, StepCase{10, 2001}),
                         [](const auto& info) {
                           return std::to_string(info.param.tracks) + "Tracks" +
                                  std::to_string(info.param.n) + "Nodes";
                         });

TEST(SharedStep, FactorisesTheNextStepWithoutTracks) {
  std::mt19937_64 rng(7);
  const std::size_t n = 31;
  Tridiagonal s1(n), r1(n), s2(n), r2(n);
  fill_step(s1, r1, rng);
  fill_step(s2, r2, rng);
  CnStep shared(n);
  shared.next_s() = s1;
  shared.next_r() = r1;
  shared.advance();
  shared.next_s() = s2;
  shared.next_r() = r2;
  shared.apply({}, true);  // no present values yet: the step has nothing to move
  shared.advance();
  std::vector<double> v = random_vector(n, rng);
  const std::vector<double> expected = s2.solve(r2.product(v));
  double* pointer = v.data();
  shared.apply({&pointer, 1}, false);
  EXPECT_TRUE(same_bits(v, expected));
}

}  // namespace
}  // namespace ravlin
