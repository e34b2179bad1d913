#include "authoring/story_analyze_loop.h"

#include <algorithm>
#include <functional>

void LoopSolver::reset(std::uint32_t states) {
  n_ = states;
  if (rows_.size() < states) {
    rows_.resize(states);
    from_.resize(states);
    column_.resize(states);
  }
  for (std::uint32_t i = 0; i < states; ++i) {
    rows_[i].clear();
    from_[i].clear();
    column_[i].clear();
  }
  exit_.assign(states, 0.0);
  rhs_.assign(states, 0.0);
  pivot_.assign(states, 0.0);
  in_.assign(states, 0);
  order_.assign(states, 0);
  slot_.assign(states, 0);
  gone_.assign(states, 0);
}

void LoopSolver::begin_row(std::uint32_t state) { row_ = state; }

void LoopSolver::add(std::uint32_t to, double weight) {
  std::vector<Entry>& row = rows_[row_];
  if (slot_[to] != 0) {
    row[slot_[to] - 1].weight += weight;
    return;
  }
  row.push_back(Entry{to, weight});
  slot_[to] = static_cast<std::uint32_t>(row.size());
  from_[to].push_back(row_);
  ++in_[to];
}

void LoopSolver::end_row() {
  for (const Entry& e : rows_[row_]) slot_[e.to] = 0;
}

// Markowitz order: the state whose elimination can create the fewest new
// entries (live predecessors × successors) goes first. Scores go stale as
// the loop shrinks; a stale heap entry is skipped when it surfaces.
void LoopSolver::push(std::uint32_t state) {
  std::uint64_t score = static_cast<std::uint64_t>(in_[state]) * rows_[state].size();
  heap_.emplace_back(score, state);
  std::push_heap(heap_.begin(), heap_.end(), std::greater<>());
}

bool LoopSolver::eliminate(bool flows, std::int64_t max_entries) {
  std::int64_t held = 0;
  heap_.clear();
  for (std::uint32_t k = 0; k < n_; ++k) {
    held += static_cast<std::int64_t>(rows_[k].size());
    push(k);
  }
  if (held > max_entries) return false;
  for (std::uint32_t step = 0; step < n_; ++step) {
    std::uint32_t k;
    for (;;) {
      std::pop_heap(heap_.begin(), heap_.end(), std::greater<>());
      auto [score, state] = heap_.back();
      heap_.pop_back();
      if (gone_[state] == 0 &&
          score == static_cast<std::uint64_t>(in_[state]) * rows_[state].size()) {
        k = state;
        break;
      }
    }
    gone_[k] = 1;
    order_[step] = k;
    const std::vector<Entry>& out = rows_[k];
    double pivot = exit_[k];
    for (const Entry& e : out) pivot += e.weight;
    if (!(pivot > 0)) return false;  // the state cannot leave: no unique solution
    pivot_[k] = pivot;
    if (flows) {
      for (const Entry& e : out) rhs_[e.to] += rhs_[k] * (e.weight / pivot);
    }

    // Every live predecessor i takes over k's moves in proportion to its
    // weight to k; what k would send back to i is dropped, as i's own pivot
    // is counted from what it sends elsewhere.
    for (std::uint32_t i : from_[k]) {
      if (gone_[i] != 0) continue;
      std::vector<Entry>& row = rows_[i];
      for (std::size_t at = 0; at < row.size(); ++at)
        slot_[row[at].to] = static_cast<std::uint32_t>(at + 1);
      if (slot_[k] == 0) {  // not a predecessor after all: leave the row as it is
        for (const Entry& e : row) slot_[e.to] = 0;
        continue;
      }
      std::size_t at_k = slot_[k] - 1;
      double to_k = row[at_k].weight;
      if (flows) column_[k].push_back(Entry{i, to_k});
      row[at_k] = row.back();
      slot_[row[at_k].to] = static_cast<std::uint32_t>(at_k + 1);
      row.pop_back();
      slot_[k] = 0;
      --held;
      double share = to_k / pivot;
      for (const Entry& e : out) {
        if (e.to == i) continue;
        if (slot_[e.to] != 0) {
          row[slot_[e.to] - 1].weight += share * e.weight;
          continue;
        }
        row.push_back(Entry{e.to, share * e.weight});
        slot_[e.to] = static_cast<std::uint32_t>(row.size());
        from_[e.to].push_back(i);
        ++in_[e.to];
        ++held;
      }
      exit_[i] += share * exit_[k];
      if (!flows) rhs_[i] += share * rhs_[k];
      for (const Entry& e : row) slot_[e.to] = 0;
      push(i);
    }
    for (const Entry& e : out) {
      --in_[e.to];
      push(e.to);
    }
    if (flows) {
      held += static_cast<std::int64_t>(column_[k].size()) - static_cast<std::int64_t>(out.size());
      rows_[k].clear();
    }
    if (held > max_entries) return false;
  }
  return true;
}

bool LoopSolver::solve_values(std::int64_t max_entries, std::span<double> out) {
  if (!eliminate(false, max_entries)) return false;
  back_substitute(rows_, out);
  return true;
}

bool LoopSolver::solve_flows(std::int64_t max_entries, std::span<double> out) {
  if (!eliminate(true, max_entries)) return false;
  back_substitute(column_, out);
  return true;
}

// Undoes the elimination in reverse order: each unknown from those eliminated
// after it, through what its row (values) or column (flows) kept.
void LoopSolver::back_substitute(const std::vector<std::vector<Entry>>& kept,
                                 std::span<double> out) const {
  for (std::uint32_t step = n_; step-- > 0;) {
    std::uint32_t k = order_[step];
    double sum = rhs_[k];
    for (const Entry& e : kept[k]) sum += e.weight * out[e.to];
    out[k] = sum / pivot_[k];
  }
}

std::size_t LoopSolver::bytes() const {
  std::size_t total = 0;
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    total += rows_[i].capacity() * sizeof(Entry) + column_[i].capacity() * sizeof(Entry) +
             from_[i].capacity() * sizeof(std::uint32_t) + 3 * sizeof(std::vector<Entry>);
  }
  total += (exit_.capacity() + rhs_.capacity() + pivot_.capacity()) * sizeof(double);
  total += (in_.capacity() + order_.capacity() + slot_.capacity()) * sizeof(std::uint32_t);
  total += gone_.capacity() + heap_.capacity() * sizeof(heap_[0]);
  return total;
}
