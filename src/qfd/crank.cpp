#include "qfd/crank.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "util/simd.hpp"

#include "timetable/op.hpp"

// The shared step must round exactly as product and solve do, whatever the
// target: no multiply and add may be fused into one rounding.
#if defined(__clang__)
#pragma clang fp contract(off)
#else
#pragma GCC optimize("fp-contract=off")
#endif

namespace ravlin {

// ---------------------------------------------------------------------------
// Tridiagonal

std::vector<double> Tridiagonal::product(const std::vector<double>& v) const {
  std::vector<double> y(n);
  y[0] = diag[0] * v[0] + upper[0] * v[1];
  for (std::size_t i = 1; i + 1 < n; ++i) {
    y[i] = lower[i] * v[i - 1] + diag[i] * v[i] + upper[i] * v[i + 1];
  }
  y[n - 1] = lower[n - 1] * v[n - 2] + diag[n - 1] * v[n - 1];
  return y;
}

std::vector<double> Tridiagonal::solve(const std::vector<double>& d) const {
  std::vector<double> b(diag.begin(), diag.end());
  std::vector<double> e(d.begin(), d.end());
  for (std::size_t i = 1; i < n; ++i) {
    const double m = lower[i] / b[i - 1];
    b[i] = diag[i] - m * upper[i - 1];
    e[i] = d[i] - m * e[i - 1];
  }
  std::vector<double> z(n);
  z[n - 1] = e[n - 1] / b[n - 1];
  for (std::size_t i = n - 1; i-- > 0;) {
    z[i] = (e[i] - upper[i] * z[i + 1]) / b[i];
  }
  return z;
}

// ---------------------------------------------------------------------------
// CnMatrices

bool CnMatrices::formed_from(const Inputs& other) const {
  if (!formed) return false;
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    if (std::bit_cast<std::uint64_t>(inputs[k]) != std::bit_cast<std::uint64_t>(other[k])) {
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// The sweeps

namespace {

// Lanes per SIMD group: four doubles fill an AVX register, two SSE ones.
using simd::Group;
using simd::kGroup;
using simd::load_group;
using simd::store_group;

// Rows of four vectors become four rows of one element of each, and back.
[[gnu::always_inline]] inline void transpose(Group& a0, Group& a1, Group& a2, Group& a3) {
  const Group t0 = RAVLIN_SHUFFLE(a0, a1, 0, 4, 2, 6);
  const Group t1 = RAVLIN_SHUFFLE(a0, a1, 1, 5, 3, 7);
  const Group t2 = RAVLIN_SHUFFLE(a2, a3, 0, 4, 2, 6);
  const Group t3 = RAVLIN_SHUFFLE(a2, a3, 1, 5, 3, 7);
  a0 = RAVLIN_SHUFFLE(t0, t2, 0, 1, 4, 5);
  a1 = RAVLIN_SHUFFLE(t1, t3, 0, 1, 4, 5);
  a2 = RAVLIN_SHUFFLE(t0, t2, 2, 3, 6, 7);
  a3 = RAVLIN_SHUFFLE(t1, t3, 2, 3, 6, 7);
}

// Element i of vector l goes to block[i * lanes + l], four rows and four
// vectors at a time; padding lanes get zeros.
RAVLIN_CLONES void interleave(const std::vector<double*>& vectors,
                                                         std::size_t n, std::size_t lanes,
                                                         double* block) {
  const std::size_t count = vectors.size();
  static constexpr double kZeros[kGroup] = {};
  for (std::size_t l = 0; l < lanes; l += kGroup) {
    const double* from[kGroup];
    for (std::size_t k = 0; k < kGroup; ++k) from[k] = l + k < count ? vectors[l + k] : nullptr;
    std::size_t i = 0;
    for (; i + kGroup <= n; i += kGroup) {
      Group a[kGroup];
      for (std::size_t k = 0; k < kGroup; ++k) a[k] = load_group(from[k] ? from[k] + i : kZeros);
      transpose(a[0], a[1], a[2], a[3]);
      for (std::size_t k = 0; k < kGroup; ++k) store_group(block + (i + k) * lanes + l, a[k]);
    }
    for (; i < n; ++i) {
      for (std::size_t k = 0; k < kGroup; ++k) block[i * lanes + l + k] = from[k] ? from[k][i] : 0.0;
    }
  }
}

// The inverse of `interleave`, padding lanes dropped.
RAVLIN_CLONES void deinterleave(const double* block, std::size_t n,
                                                           std::size_t lanes,
                                                           const std::vector<double*>& vectors) {
  const std::size_t count = vectors.size();
  for (std::size_t l = 0; l < lanes; l += kGroup) {
    const std::size_t real = std::min(kGroup, count - l);
    std::size_t i = 0;
    for (; i + kGroup <= n; i += kGroup) {
      Group a[kGroup];
      for (std::size_t k = 0; k < kGroup; ++k) a[k] = load_group(block + (i + k) * lanes + l);
      transpose(a[0], a[1], a[2], a[3]);
      for (std::size_t k = 0; k < real; ++k) store_group(vectors[l + k] + i, a[k]);
    }
    for (; i < n; ++i) {
      for (std::size_t k = 0; k < real; ++k) vectors[l + k][i] = block[i * lanes + l + k];
    }
  }
}

// One band of a step's matrix: its edge rows at rows[0] and rows[n-1], and
// every other row i at inner[i * stride]: the row itself, or row 1 for all
// of them when the matrices are uniform.
struct Band {
  const double* rows = nullptr;
  const double* inner = nullptr;
  std::size_t stride = 1;

  Band() = default;
  Band(const std::vector<double>& band, bool uniform)
      : rows(band.data()), inner(band.data() + (uniform ? 1 : 0)), stride(uniform ? 0 : 1) {}

  // Row i, 0 < i < n-1.
  double inner_row(std::size_t i) const { return inner[i * stride]; }
  // Any row i of the n.
  double row(std::size_t i, std::size_t n) const {
    return i == 0 || i + 1 == n ? rows[i] : inner_row(i);
  }
};

// What one sweep reads and writes.
struct Sweep {
  std::size_t n;
  Band r_lower;
  Band r_diag;
  Band r_upper;
  Band s_upper;
  const double* pivot = nullptr;
  const double* multiplier = nullptr;
  // The next step's s and factorisation, when it rides along.
  Band next_lower{};
  Band next_diag{};
  Band next_upper{};
  double* next_pivot = nullptr;
  double* next_multiplier = nullptr;

  // The next step's s and factorisation to form as the sweep goes.
  void factor_into(const CnMatrices& following, std::vector<double>& following_pivot,
                   std::vector<double>& following_multiplier) {
    next_lower = Band(following.s.lower, following.uniform);
    next_diag = Band(following.s.diag, following.uniform);
    next_upper = Band(following.s.upper, following.uniform);
    next_pivot = following_pivot.data();
    next_multiplier = following_multiplier.data();
  }
};

// The first pivot of the next step's elimination, where its chain starts.
[[gnu::always_inline]] inline double factor_start(const Sweep& s) {
  s.next_pivot[0] = s.next_diag.rows[0];
  return s.next_diag.rows[0];
}

// One row of the next step's elimination, j = 1 ... n-1: the pivot is
// carried in a register, since reading it back from memory would add a
// store-to-load delay to every link of the chain.
[[gnu::always_inline]] inline void factor_row(const Sweep& s, std::size_t j, double& p) {
  const double m = s.next_lower.row(j, s.n) / p;
  s.next_multiplier[j] = m;
  p = s.next_diag.row(j, s.n) - m * s.next_upper.row(j - 1, s.n);
  s.next_pivot[j] = p;
}

// An event's operation on one element: continuation `a`, value `b`, as the
// ledger applies it.
[[gnu::always_inline]] inline double changed(CnStep::Change::Kind kind, double a, double b) {
  switch (kind) {
    case CnStep::Change::Kind::Add:
      return a + b;
    case CnStep::Change::Kind::Max:
      return max_num(a, b);
    case CnStep::Change::Kind::Min:
      return min_num(a, b);
  }
  return a;
}

using LaneChange = CnStep::LaneChange;

// One vector, in place: product row by row, each row at once the next
// right-hand side of the elimination, then the back substitution, which
// writes each row with its change applied (the substitution carries on with
// the unchanged row).
template <bool FactorNext, bool Changed>
void sweep_one(const Sweep& s, double* v, double* e, const LaneChange& change) {
  const auto write = [&](std::size_t i, double z) {
    if constexpr (Changed) {
      v[i] = changed(change.kind, z, change.values[i * change.stride]);
    } else {
      v[i] = z;
    }
  };
  const std::size_t n = s.n;
  double carry = s.r_diag.rows[0] * v[0] + s.r_upper.rows[0] * v[1];
  e[0] = carry;
  for (std::size_t i = 1; i + 1 < n; ++i) {
    const double w = s.r_lower.inner_row(i) * v[i - 1] + s.r_diag.inner_row(i) * v[i] +
                     s.r_upper.inner_row(i) * v[i + 1];
    carry = w - s.multiplier[i] * carry;
    e[i] = carry;
  }
  {
    const std::size_t i = n - 1;
    const double w = s.r_lower.rows[i] * v[i - 1] + s.r_diag.rows[i] * v[i];
    carry = w - s.multiplier[i] * carry;
  }
  // Over the vector: the product no longer needs it.
  carry = carry / s.pivot[n - 1];
  write(n - 1, carry);
  double p = FactorNext ? factor_start(s) : 0.0;
  // The next step's elimination runs upward through the rows while the
  // substitution runs downward: two independent chains in one loop.
  for (std::size_t j = 1; j < n; ++j) {
    const std::size_t i = n - 1 - j;
    carry = (e[i] - s.s_upper.row(i, n) * carry) / s.pivot[i];
    write(i, carry);
    if constexpr (FactorNext) factor_row(s, j, p);
  }
}

// One vector stepped where it is, with at most one change.
void sweep_single(const Sweep& s, double* v, double* e, bool ride_along,
                  std::span<const CnStep::Change> changes) {
  if (changes.empty()) {
    const LaneChange none{};
    if (ride_along) {
      sweep_one<true, false>(s, v, e, none);
    } else {
      sweep_one<false, false>(s, v, e, none);
    }
    return;
  }
  const LaneChange change = LaneChange::of(changes.front());
  if (ride_along) {
    sweep_one<true, true>(s, v, e, change);
  } else {
    sweep_one<false, true>(s, v, e, change);
  }
}

// Writes row i of one SIMD group, `z`, with the group's changes applied.
[[gnu::always_inline]] inline void write_changed(const CnStep::GroupChange& c, Group z,
                                                 double* at, std::size_t i) {
  using Kind = CnStep::GroupChange::Kind;
  switch (c.kind) {
    case Kind::None:
      store_group(at, z);
      return;
    case Kind::Add:
      store_group(at, z + load_group(c.value));
      return;
    case Kind::Max:
      store_group(at, max_num(z, load_group(c.value)));
      return;
    case Kind::Min:
      store_group(at, min_num(z, load_group(c.value)));
      return;
    case Kind::ByLane:
      store_group(at, z);
      for (std::size_t k = 0; k < kGroup; ++k) {
        const LaneChange& lane = c.lane[k];
        if (c.changed[k]) at[k] = changed(lane.kind, z[k], lane.values[i * lane.stride]);
      }
      return;
  }
}

// The same for the interleaved block of `groups` SIMD groups per row: the
// groups' recurrences are independent, so they hide each other's latency.
// With changes, the substitution keeps the unchanged rows in `e`, whose
// elimination is spent once read, and writes the changed ones to the block.
template <bool FactorNext, bool Changed>
[[gnu::always_inline]] inline void sweep_block_rows(const Sweep& s, double* b, double* e,
                                                    std::size_t groups,
                                                    const CnStep::GroupChange* changes) {
  const std::size_t n = s.n;
  const std::size_t width = groups * kGroup;
  for (std::size_t g = 0; g < width; g += kGroup) {
    store_group(e + g, s.r_diag.rows[0] * load_group(b + g) + s.r_upper.rows[0] * load_group(b + width + g));
  }
  for (std::size_t i = 1; i + 1 < n; ++i) {
    const double* row = b + i * width;
    double* out = e + i * width;
    const double lower = s.r_lower.inner_row(i), diag = s.r_diag.inner_row(i),
                 upper = s.r_upper.inner_row(i);
    for (std::size_t g = 0; g < width; g += kGroup) {
      const Group w = lower * load_group(row - width + g) + diag * load_group(row + g) +
                      upper * load_group(row + width + g);
      store_group(out + g, w - s.multiplier[i] * load_group(out - width + g));
    }
  }
  {
    const std::size_t i = n - 1;
    const double* row = b + i * width;
    double* out = e + i * width;
    for (std::size_t g = 0; g < width; g += kGroup) {
      const Group w = s.r_lower.rows[i] * load_group(row - width + g) + s.r_diag.rows[i] * load_group(row + g);
      store_group(out + g, w - s.multiplier[i] * load_group(out - width + g));
    }
  }
  // The solution of row i, group g: into the block, or, with changes, into
  // `e` as the next row's carry and changed into the block.
  // z by reference: a lambda is not always inlined (at -O0 it is a call
  // from the AVX2 clone into code built for the baseline, where a group
  // passed by value would arrive in other registers).
  const auto write = [&](std::size_t i, std::size_t g, const Group& z) {
    const std::size_t at = i * width + g;
    if constexpr (Changed) {
      store_group(e + at, z);
      write_changed(changes[g / kGroup], z, b + at, i);
    } else {
      store_group(b + at, z);
    }
  };
  // The unchanged solution of row i + 1.
  const double* below = Changed ? e : b;
  for (std::size_t g = 0; g < width; g += kGroup) {
    write(n - 1, g, load_group(e + (n - 1) * width + g) / s.pivot[n - 1]);
  }
  double p = FactorNext ? factor_start(s) : 0.0;
  for (std::size_t j = 1; j < n; ++j) {
    const std::size_t i = n - 1 - j;
    const double upper = s.s_upper.row(i, n), pivot = s.pivot[i];
    for (std::size_t g = 0; g < width; g += kGroup) {
      const std::size_t at = i * width + g;
      write(i, g, (load_group(e + at) - upper * load_group(below + at + width)) / pivot);
    }
    if constexpr (FactorNext) factor_row(s, j, p);
  }
}

// Built for AVX2 as well, chosen at load time where the processor has it;
// AVX2 without FMA, so every product and sum rounds on its own as before.
RAVLIN_CLONES void sweep_block(const Sweep& s, double* b, double* e,
                                                          std::size_t groups, bool factor_next,
                                                          const CnStep::GroupChange* changes) {
  if (factor_next) {
    if (changes) {
      sweep_block_rows<true, true>(s, b, e, groups, changes);
    } else {
      sweep_block_rows<true, false>(s, b, e, groups, changes);
    }
  } else if (changes) {
    sweep_block_rows<false, true>(s, b, e, groups, changes);
  } else {
    sweep_block_rows<false, false>(s, b, e, groups, changes);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// CnStep

CnStep::CnStep(std::size_t n)
    : n_(n),
      slots_{{CnMatrices(n), std::vector<double>(n), std::vector<double>(n)},
             {CnMatrices(n), std::vector<double>(n), std::vector<double>(n)}},
      forward_(n) {}

void CnStep::next_changed() { slots_[1 - current_].factored = false; }

Tridiagonal& CnStep::next_s() {
  next_changed();
  next_matrices().formed = false;
  next_matrices().uniform = false;
  return next_matrices().s;
}

Tridiagonal& CnStep::next_r() {
  next_changed();
  next_matrices().formed = false;
  next_matrices().uniform = false;
  return next_matrices().r;
}

void CnStep::factor(Slot& slot) {
  Sweep rows{};
  rows.n = slot.matrices.s.n;
  rows.factor_into(slot.matrices, slot.pivot, slot.multiplier);
  double p = factor_start(rows);
  for (std::size_t j = 1; j < rows.n; ++j) factor_row(rows, j, p);
  slot.factored = true;
}

void CnStep::advance() {
  current_ = 1 - current_;
  Slot& slot = slots_[current_];
  if (!slot.factored) factor(slot);
}

void CnStep::load(std::span<double* const> vectors) {
  vectors_.assign(vectors.begin(), vectors.end());
  if (vectors_.size() < 2) return;
  lanes_ = (vectors_.size() + kGroup - 1) / kGroup * kGroup;
  block_.resize(n_ * lanes_);
  forward_.resize(n_ * lanes_);
  // Padding lanes step zeros along, harmlessly.
  interleave(vectors_, n_, lanes_, block_.data());
}

void CnStep::store() {
  if (vectors_.size() >= 2) deinterleave(block_.data(), n_, lanes_, vectors_);
  vectors_.clear();
}

void CnStep::check_changes(std::span<const Change> changes) const {
  for (const Change& change : changes) {
    if (change.vector >= vectors_.size() ||
        (change.value.size() != 1 && change.value.size() != n_)) {
      throw std::logic_error("grid step: a change of no loaded vector, or by a value of " +
                             std::to_string(change.value.size()) + " elements");
    }
  }
  if (vectors_.size() == 1 && changes.size() > 1) {
    throw std::logic_error("grid step: two changes of one vector");
  }
}

namespace {

CnStep::GroupChange::Kind alike_kind(CnStep::Change::Kind kind) {
  switch (kind) {
    case CnStep::Change::Kind::Add:
      return CnStep::GroupChange::Kind::Add;
    case CnStep::Change::Kind::Max:
      return CnStep::GroupChange::Kind::Max;
    case CnStep::Change::Kind::Min:
      return CnStep::GroupChange::Kind::Min;
  }
  return CnStep::GroupChange::Kind::ByLane;
}

// Whether the first `real` lanes of the group all change alike by one value.
bool changed_alike(const CnStep::GroupChange& group, std::size_t real) {
  for (std::size_t k = 0; k < real; ++k) {
    if (!group.changed[k] || group.lane[k].stride != 0 || group.lane[k].kind != group.lane[0].kind) {
      return false;
    }
  }
  return true;
}

}  // namespace

void CnStep::group_changes(std::span<const Change> changes) {
  using Kind = GroupChange::Kind;
  group_changes_.assign(lanes_ / kGroup, GroupChange{});
  for (const Change& change : changes) {
    GroupChange& group = group_changes_[change.vector / kGroup];
    const std::size_t lane = change.vector % kGroup;
    if (group.changed[lane]) throw std::logic_error("grid step: two changes of one vector");
    group.changed[lane] = true;
    group.lane[lane] = LaneChange::of(change);
    group.kind = Kind::ByLane;
  }
  for (std::size_t first = 0; first < lanes_; first += kGroup) {
    GroupChange& group = group_changes_[first / kGroup];
    const std::size_t real = std::min(kGroup, vectors_.size() - first);
    if (group.kind == Kind::None || !changed_alike(group, real)) continue;
    for (std::size_t k = 0; k < real; ++k) group.value[k] = group.lane[k].values[0];
    group.kind = alike_kind(group.lane[0].kind);
  }
}

void CnStep::step(bool factor_next, std::span<const Change> changes) {
  const Slot& current = slots_[current_];
  Slot& next = slots_[1 - current_];
  const bool ride_along = factor_next && !next.factored;
  check_changes(changes);
  if (vectors_.empty()) {
    if (ride_along) factor(next);
    return;
  }
  const CnMatrices& m = current.matrices;
  Sweep s{n_,
          Band(m.r.lower, m.uniform),
          Band(m.r.diag, m.uniform),
          Band(m.r.upper, m.uniform),
          Band(m.s.upper, m.uniform),
          current.pivot.data(),
          current.multiplier.data()};
  if (ride_along) s.factor_into(next.matrices, next.pivot, next.multiplier);
  if (vectors_.size() == 1) {
    sweep_single(s, vectors_[0], forward_.data(), ride_along, changes);
  } else {
    if (!changes.empty()) group_changes(changes);
    sweep_block(s, block_.data(), forward_.data(), lanes_ / kGroup, ride_along,
                changes.empty() ? nullptr : group_changes_.data());
  }
  if (ride_along) next.factored = true;
}

void CnStep::apply(std::span<double* const> vectors, bool factor_next) {
  load(vectors);
  step(factor_next);
  store();
}

}  // namespace ravlin
