// Tridiagonal algebra of the Crank-Nicolson steps.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "util/values.hpp"

namespace ravlin {

// Row i holds lower[i] in column i-1, diag[i] in column i, upper[i] in column
// i+1; lower[0] and upper[n-1] are never read.
struct Tridiagonal {
  std::vector<double> lower;
  std::vector<double> diag;
  std::vector<double> upper;
  std::size_t n = 0;

  explicit Tridiagonal(std::size_t size = 0)
      : lower(size), diag(size), upper(size), n(size) {}

  // y = this * v, for n >= 2.
  std::vector<double> product(const std::vector<double>& v) const;
  // z with this * z = d, Thomas algorithm without pivoting.
  std::vector<double> solve(const std::vector<double>& d) const;
};

// The two matrices of one step (s * z = r * v) and the few numbers the grid
// model formed their rows from, so that a step with the same numbers keeps
// the rows, and their factorisation, instead of forming them again.
struct CnMatrices {
  using Inputs = std::array<double, 5>;

  Tridiagonal s;
  Tridiagonal r;
  Inputs inputs{};
  bool formed = false;  // the rows are those of `inputs`
  // Every row but the two edge rows equals row 1, and only rows 0, 1 and
  // n-1 of each band are written: a model with the same coefficients on
  // every node then writes three rows per step instead of n.
  bool uniform = false;

  explicit CnMatrices(std::size_t n = 0) : s(n), r(n) {}
  // Whether the rows are those of `other`, compared bit for bit (so -0 and
  // +0, which can round differently downstream, count as different).
  bool formed_from(const Inputs& other) const;
};

// The Crank-Nicolson steps of a grid, applied to every vector of the grid:
// the two matrices of the current step and of the next one, the Thomas
// factorisation of each left-hand matrix, formed once per distinct step, and
// the vectors themselves while they are stepped, interleaved (element i of
// every vector side by side), so that one instruction steps several vectors.
//
// Stepping replaces each vector v by s.solve(r.product(v)) with exactly the
// same floating-point operations in the same order, so the result is the same
// to the last bit; only the work that does not depend on v is shared.
class CnStep {
 public:
  // Vectors per SIMD group of the interleaved block.
  static constexpr std::size_t kMaxLanes = 4;
  // Doubles held per grid node: both steps' matrices with the factorisation
  // of each, and the sweep scratch.
  static constexpr std::size_t kDoublesPerNode = 2 * (6 + 2) + kMaxLanes;

  // What an event right after the step does to one loaded vector: v op=
  // value, element by element, with a value of one element or of n.
  struct Change {
    enum class Kind : std::uint8_t { Add, Max, Min };
    std::size_t vector;  // its place among the loaded vectors
    Kind kind;
    Values value;
  };

  explicit CnStep(std::size_t n);

  std::size_t n() const { return n_; }
  // The next step's matrices for the grid model to refresh; after changing
  // their rows, say so with `next_changed`, which drops their factorisation.
  CnMatrices& next_matrices() { return slots_[1 - current_].matrices; }
  void next_changed();
  // The next step's matrices to be filled in full (they count as changed).
  Tridiagonal& next_s();
  Tridiagonal& next_r();
  // The next step becomes the current one; its s is factorised now unless
  // that was done already.
  void advance();

  // Takes the vectors (each of n >= 2 elements) in, to be stepped until
  // `store` writes them back; nothing else may touch them in between.
  void load(std::span<double* const> vectors);
  // Steps the loaded vectors with the current step, then applies `changes`
  // (at most one per vector) as the back substitution writes each row, so
  // that they cost no pass of their own. With `factor_next`, the next step's
  // s, already filled, is factorised on the way (if it is not yet): inside
  // the back substitution, whose chain of divisions leaves the arithmetic
  // units mostly idle.
  void step(bool factor_next, std::span<const Change> changes = {});
  void store();
  // load, step and store.
  void apply(std::span<double* const> vectors, bool factor_next);

  // One vector's change as the sweeps read it: its value at node i is
  // values[i * stride].
  struct LaneChange {
    Change::Kind kind = Change::Kind::Add;
    const double* values = nullptr;
    std::size_t stride = 0;

    static LaneChange of(const Change& change) {
      return {change.kind, change.value.data(), change.value.size() == 1 ? 0u : 1u};
    }
  };
  // The changes of one SIMD group of the block: all of its vectors changed
  // alike by one-element values (its padding lanes too, harmlessly), or lane
  // by lane.
  struct GroupChange {
    enum class Kind : std::uint8_t { None, Add, Max, Min, ByLane };
    Kind kind = Kind::None;
    double value[kMaxLanes] = {};  // the values of a group changed alike
    bool changed[kMaxLanes] = {};
    LaneChange lane[kMaxLanes] = {};
  };

 private:
  struct Slot {
    CnMatrices matrices;
    std::vector<double> pivot;       // pivot[i] of the elimination of s
    std::vector<double> multiplier;  // multiplier[i] = s.lower[i] / pivot[i-1]
    bool factored = false;
  };

  static void factor(Slot& slot);
  // Changes of vectors that are not loaded, or by values of another length
  // than 1 or n, are the caller's fault: they throw std::logic_error.
  void check_changes(std::span<const Change> changes) const;
  // The changes grouped as the block's SIMD groups hold the vectors.
  void group_changes(std::span<const Change> changes);

  std::size_t n_;
  Slot slots_[2];
  int current_ = 0;
  // The loaded vectors; a single one is stepped where it is.
  std::vector<double*> vectors_;
  // Several vectors, lane by lane per row, the lanes padded to a whole
  // number of SIMD groups; and the eliminated right-hand sides, likewise.
  std::size_t lanes_ = 0;
  std::vector<double> block_;
  std::vector<double> forward_;
  std::vector<GroupChange> group_changes_;
};

}  // namespace ravlin
