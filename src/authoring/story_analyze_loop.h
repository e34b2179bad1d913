// The linear solve behind the analyzer's loops: a set of states that can
// reach one another, each moving to the others with known probabilities and
// leaving the set with the rest. Two questions are asked of it:
//
//   values  v = W v + r   what each state is worth, given what leaving pays (r)
//   flows   x = b + Wᵀ x  how often each state is visited, given what arrives (b)
//
// Both are solved by eliminating states one at a time (the sparse Gaussian
// elimination of I − W). Each pivot is computed as the sum of what the state
// still sends elsewhere, never as 1 minus what it keeps, so no step subtracts:
// every result keeps nearly full relative precision however rarely the loop
// is left (a retried check won once in 36⁸ tries is solved as well as a coin).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

class LoopSolver {
 public:
  // Starts a loop of `states` states, all rows empty.
  void reset(std::uint32_t states);
  // Rows are written in order, state 0 first: the weight of each move to
  // another state of the loop (repeats add up), the weight that leaves the
  // loop and the right-hand side (r or b). A move back to the same state is
  // simply not written: the pivot is what the state sends elsewhere.
  void begin_row(std::uint32_t state);
  void add(std::uint32_t to, double weight);
  void add_exit(double weight) { exit_[row_] += weight; }
  void add_rhs(double value) { rhs_[row_] += value; }
  void end_row();

  // Solve for v (values) or x (flows) into `out`, one entry per state. False
  // when the elimination would hold more than `max_entries` weights at once,
  // or when a state cannot leave (a zero pivot): then `out` is untouched.
  bool solve_values(std::int64_t max_entries, std::span<double> out);
  bool solve_flows(std::int64_t max_entries, std::span<double> out);

  // Memory held, kept between loops so that many small loops allocate once.
  std::size_t bytes() const;

 private:
  struct Entry {
    std::uint32_t to;
    double weight;
  };
  bool eliminate(bool flows, std::int64_t max_entries);
  void push(std::uint32_t state);
  void back_substitute(const std::vector<std::vector<Entry>>& kept, std::span<double> out) const;

  std::uint32_t n_ = 0;
  std::uint32_t row_ = 0;
  std::vector<std::vector<Entry>> rows_;          // live weights, then the row at elimination
  std::vector<std::vector<std::uint32_t>> from_;  // states whose rows hold an entry to this one
  std::vector<std::vector<Entry>> column_;        // flows: the column at elimination
  std::vector<double> exit_, rhs_, pivot_;
  std::vector<std::uint32_t> in_, order_, slot_;  // live predecessors; elimination order; scatter
  std::vector<std::uint8_t> gone_;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> heap_;  // (fill score, state), lazily
};
