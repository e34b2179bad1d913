// Exploration and solvers of the exact analysis; the reports live in
// story_analyze_report.cpp.
//
// The state space. A state is what the rules can tell apart between two
// turns: the section, hit points, the set of carried items and the set of set
// flags, packed into one to three words. Exploration starts from the seeded
// hero's first arrival and goes breadth first; each state's moves are the
// options a typed line reaches that the resolution allows, and each move ends
// in one or more edges (one per place it can lead, weighted by the dice pairs
// out of 36 that lead there). An edge leads to another state or to an end:
// death, a missing section, an ending section, or "unexplored" when the state
// cap stopped the exploration. The states are then cut into strongly
// connected components (Tarjan), numbered so that every edge leads to the
// same or a lower component: a component is a loop of states that can reach
// one another, or a single state.
//
// Random play (every move of a state equally likely) is a flow: the start's
// mass of 1 is passed down the components from the start. A single state
// scales its mass by what leaves it; a loop solves its expected visits
// exactly (LoopSolver, a subtraction-free elimination) and sends them along
// the ways out.
//
// Best play (the highest probability of victory any strategy reaches) is
// solved sinks first, once the values of everything a component leads to are
// known. A single state takes its best move's ratio; a loop runs policy
// iteration, each strategy's values solved exactly by the same elimination.
// The first move reported is the first step of a shortest path to a victory
// that only takes best moves.
//
// A loop too large for the elimination's budget is iterated for a bounded
// amount of work instead; the report then says the figures are bounds, never
// presents them as exact.
#include "authoring/story_analyze.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "authoring/story_analyze_loop.h"
#include "authoring/text_join.h"
#include "character/character.h"
#include "common/fixed_list.h"
#include "common/json_text.h"
#include "common/text_util.h"
#include "rules/arrival.h"
#include "rules/dice.h"
#include "rules/option_rules.h"
#include "rules/resolve.h"
#include "story/story_parser.h"

namespace {

constexpr int kDicePairs = 36;
constexpr int kTiers = OUTCOME_CRIT_FAILURE;  // the tiers of a check, numbered 1 to 5

// Move destinations at or above kEndBase are ends, not states; state ids stay below.
constexpr std::uint32_t kEndBase = 0xFFFFFE00u;
constexpr std::uint32_t kEndDeath = kEndBase;
constexpr std::uint32_t kEndMissing = kEndBase + 1;
constexpr std::uint32_t kEndUnexplored = kEndBase + 2;  // a state past the cap
constexpr std::uint32_t kEndSection = kEndBase + 3;     // + index of the ending section
constexpr std::uint32_t kNoState = UINT32_MAX;

bool is_end(std::uint32_t target) { return target >= kEndBase; }

// Policy iteration switches a state to another move only when it gains more
// than this fraction of the state's value: a gain below it is rounding.
constexpr double kPolicyGain = 1e-12;
// Rounds of policy iteration before a loop counts as too hard to solve (each
// round strictly gains; in practice a handful suffice).
constexpr int kMaxPolicyRounds = 1000;
// Edge visits a loop too large to solve may spend iterating, per weight the
// elimination was allowed to hold: one budget bounds both.
constexpr std::uint64_t kIterationWorkPerEntry = 16;
// An iterated loop stops once a sweep moves no value, or leaves no more mass
// in the loop, than this.
constexpr double kSettled = 1e-16;
// Moves within this fraction of the best value count as best when choosing the first move.
constexpr double kBestSlack = 1e-12;

// What a state can still reach, folded over its successors.
constexpr std::uint8_t kCanEnd = 1;      // some ending, death or missing section
constexpr std::uint8_t kCanWin = 2;      // a victory ending
constexpr std::uint8_t kCanAbsorb = 4;   // an end or a state without moves
constexpr std::uint8_t kWinsSurely = 8;  // a victory among the explored states (not past the cap)

// Working memory of one analysis, counted where it is allocated.
struct Meter {
  std::size_t now = 0;
  std::size_t peak = 0;
  bool failed = false;  // an allocation failed
  void add(std::size_t bytes) {
    now += bytes;
    if (now > peak) peak = now;
  }
  void sub(std::size_t bytes) { now -= bytes; }
};

// A zero-filled array of trivially copyable values, counted by the meter.
template <typename T>
class Array {
 public:
  Array() = default;
  Array(const Array&) = delete;
  Array& operator=(const Array&) = delete;
  ~Array() { release(); }

  bool allocate(Meter& meter, std::size_t n) {
    release();
    data_ = static_cast<T*>(std::calloc(n == 0 ? 1 : n, sizeof(T)));
    if (data_ == nullptr) {
      meter.failed = true;
      return false;
    }
    meter_ = &meter;
    size_ = n;
    meter.add(n * sizeof(T));
    return true;
  }
  void release() {
    if (data_ == nullptr) return;
    std::free(data_);
    meter_->sub(size_ * sizeof(T));
    data_ = nullptr;
    size_ = 0;
  }
  void swap(Array& other) {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(meter_, other.meter_);
  }
  std::size_t size() const { return size_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
  Meter* meter_ = nullptr;
};

// Append-only storage in fixed blocks: growing never copies, and the memory
// held is what is used plus at most one block.
template <typename T>
class Blocks {
 public:
  static constexpr std::size_t kShift = 14;
  static constexpr std::size_t kBlock = std::size_t{1} << kShift;

  explicit Blocks(Meter& meter) : meter_(meter) {}
  Blocks(const Blocks&) = delete;
  Blocks& operator=(const Blocks&) = delete;
  ~Blocks() {
    for (T* b : blocks_) std::free(b);
    meter_.sub(blocks_.size() * kBlock * sizeof(T));
  }

  std::size_t size() const { return size_; }
  T& operator[](std::size_t i) { return blocks_[i >> kShift][i & (kBlock - 1)]; }
  const T& operator[](std::size_t i) const { return blocks_[i >> kShift][i & (kBlock - 1)]; }

  bool push_back(const T& value) {
    if ((size_ >> kShift) == blocks_.size()) {
      T* block = static_cast<T*>(std::malloc(kBlock * sizeof(T)));
      if (block == nullptr) {
        meter_.failed = true;
        return false;
      }
      blocks_.push_back(block);
      meter_.add(kBlock * sizeof(T));
    }
    (*this)[size_++] = value;
    return true;
  }

 private:
  Meter& meter_;
  std::vector<T*> blocks_;
  std::size_t size_ = 0;
};

// One way a move can go: the dice pairs that lead there, out of 36 (all 36
// for an option without a check).
struct Edge {
  std::uint32_t target;  // a state id or an end code
  std::uint8_t count;
  std::uint8_t option;  // index in the section
  std::uint8_t tier;    // the likeliest tier leading here; OUTCOME_NONE without a check
  std::uint8_t first;   // 1 on the first edge of each move
};
static_assert(sizeof(Edge) == 8);

// Distinct names compared as the character sheet compares them, in the order first seen.
struct NameSet {
  std::vector<NameText> names;
  int find(std::string_view name) const {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (ascii_iequals(names[i].view(), name)) return static_cast<int>(i);
    }
    return -1;
  }
  void add(std::string_view name) {
    if (name.empty() || find(name) >= 0) return;
    NameText n{};
    n.assign(name);
    names.push_back(n);
  }
  int size() const { return static_cast<int>(names.size()); }
};

// A state packed into at most three words: section, hit points, items, flags.
struct Key {
  std::uint64_t w[3];
};

// A slot of the state table: the key itself when it fits one word (else its
// hash) and the state id + 1 (0 for a free slot). Twelve bytes, so a probe
// usually answers from the one cache line it reads.
struct Slot {
  std::uint32_t lo;
  std::uint32_t hi;
  std::uint32_t id;
};
static_assert(sizeof(Slot) == 12);

int bits_for_values(std::uint64_t largest) { return static_cast<int>(std::bit_width(largest)); }

void put_field(Key& k, int at, int width, std::uint64_t value) {
  if (width == 0) return;
  int word = at >> 6;
  int bit = at & 63;
  k.w[word] |= value << bit;
  if (bit + width > 64) k.w[word + 1] |= value >> (64 - bit);
}

std::uint64_t get_field(const Key& k, int at, int width) {
  if (width == 0) return 0;
  int word = at >> 6;
  int bit = at & 63;
  std::uint64_t v = k.w[word] >> bit;
  if (bit + width > 64) v |= k.w[word + 1] << (64 - bit);
  return width == 64 ? v : v & ((std::uint64_t{1} << width) - 1);
}

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebull;
  x ^= x >> 31;
  return x;
}

// One tier of a check as the analysis takes it: how many dice pairs give it
// and one pair that does, handed to the resolution.
struct TierPick {
  std::int32_t tier;   // a RollOutcome; OUTCOME_NONE for an option without a check
  std::int32_t count;  // dice pairs out of 36
  std::int32_t die1;
  std::int32_t die2;
};

// One way a move turned out, before its state is looked up: an end, or the
// key of the state the hero is left in.
struct Outcome {
  Key key;
  std::uint64_t hash;
  std::uint32_t end;    // an end code, or kNoState for a state
  std::uint32_t state;  // the state, once looked up
  int section;
  std::uint8_t option;
  std::uint8_t tier;
  std::uint8_t count;
  std::uint8_t first;  // 1 on the first outcome of a move
};

struct OptionPlan {
  bool input = false;  // some typed line reaches the option
  int picks = 0;
  TierPick pick[kTiers];  // the likeliest tier first
  // The last two destinations looked up, so a section is not searched again.
  IdText memo_id[2]{};
  int memo_section[2] = {-2, -2};
};

// The odds of one check for the hero's stat: counts by tier, one pair for each.
void check_odds(std::int32_t modifier, std::int32_t dc, int counts[6], TierPick first_pair[6]) {
  for (int i = 0; i < 6; ++i) counts[i] = 0;
  for (std::int32_t d1 = 1; d1 <= 6; ++d1) {
    for (std::int32_t d2 = 1; d2 <= 6; ++d2) {
      RollOutcome o = rules_roll_outcome(d1, d2, modifier, dc);
      if (counts[o]++ == 0) first_pair[o] = TierPick{o, 0, d1, d2};
    }
  }
  for (int i = 0; i < 6; ++i) first_pair[i].count = counts[i];
}

class Analysis {
 public:
  Analysis(const Story& story, std::int64_t max_states, std::int64_t max_solver_entries,
           AnalyzeReport& report)
      : story_(story),
        max_states_(max_states),
        max_solver_entries_(max_solver_entries),
        iteration_work_(static_cast<std::uint64_t>(std::max<std::int64_t>(max_solver_entries, 1)) *
                        kIterationWorkPerEntry),
        report_(report),
        keys_(meter_),
        edges_(meter_),
        edge_begin_(meter_),
        parent_(meter_),
        step_(meter_) {}

  bool run();

 private:
  // Set-up and exploration.
  bool prepare();
  void explore(std::uint32_t s);
  void arrive(OptionPlan* plan, std::string_view target, std::uint64_t items_before,
              std::uint64_t flags_before, Outcome& out);
  std::uint32_t intern(const Key& key, std::uint64_t h, int section, std::uint32_t parent,
                       int option, int tier);
  bool grow_table();
  std::uint64_t slot_word(const Key& k, std::uint64_t h) const;
  int find_section(OptionPlan* plan, std::string_view target);
  void load_hero(std::int32_t hp, std::uint64_t items, std::uint64_t flags);
  std::uint64_t items_of(const Character& h, std::uint64_t before) const;
  std::uint64_t flags_of(const Character& h, std::uint64_t before) const;

  Key key_of(std::uint32_t s) const;
  Key make_key(int section, std::int32_t hp, std::uint64_t items, std::uint64_t flags) const;
  int section_of(const Key& k) const { return static_cast<int>(get_field(k, 0, section_bits_)); }
  std::int32_t hp_of(const Key& k) const {
    return static_cast<std::int32_t>(get_field(k, hp_at_, hp_bits_));
  }
  std::uint64_t item_bits_of(const Key& k) const { return get_field(k, items_at_, item_count_); }
  std::uint64_t flag_bits_of(const Key& k) const { return get_field(k, flags_at_, flag_count_); }
  std::uint64_t hash(const Key& k) const;
  bool same_key(std::uint32_t id, const Key& k) const;

  // Solving.
  bool find_components();
  void fold_reach();
  void solve_best();
  void solve_random();
  void tally_endings();
  void choose_first_move();
  void find_soft_locks();
  void find_never_takeable();
  void static_facts();
  void list_checks();

  double end_value(std::uint32_t target) const {
    return target >= kEndSection && story_.sections[target - kEndSection].ending_type == "victory"
               ? 1.0
               : 0.0;
  }
  std::uint8_t end_reach(std::uint32_t target) const;
  std::uint32_t move_end(std::uint32_t s, std::uint32_t e) const;
  double move_value(std::uint32_t e, std::uint32_t end, const Array<double>& v) const;
  double best_of(std::uint32_t s, const Array<double>& v, int* best_option) const;
  void solve_best_component(std::uint32_t c, Array<double>& v, bool upper);
  bool solve_policy(std::uint32_t c, Array<double>& v);
  void index_loop(std::uint32_t c);
  bool attract(std::uint32_t c, const Array<double>& v, bool chosen_only);
  void pour(std::uint32_t s, double mass, std::uint32_t component, bool leaving_only);
  bool flow_loop(std::uint32_t c);
  // A loop the elimination gave up on is not tried again by the other solves.
  bool solvable(std::uint32_t c) const { return unsolvable_.empty() || unsolvable_[c] == 0; }
  void unsolvable(std::uint32_t c) {
    unsolvable_.resize(components_, 0);
    unsolvable_[c] = 1;
  }
  void iterate_flow(std::uint32_t c);
  AnalyzePath witness(std::uint32_t s) const;
  int option_base(int section) const { return option_base_[static_cast<std::size_t>(section)]; }

  const Story& story_;
  std::int64_t max_states_;
  std::int64_t max_solver_entries_;
  std::uint64_t iteration_work_;
  AnalyzeReport& report_;
  Meter meter_;

  NameSet items_;
  NameSet flags_;
  std::unique_ptr<Character> base_;  // the seeded hero: name, stats and maximum hit points
  std::unique_ptr<Character> hero_;  // the hero being moved
  std::vector<OptionPlan> plans_;    // every option of the story, section by section
  std::vector<int> option_base_;     // index of a section's first option in plans_

  int words_ = 1;
  int section_bits_ = 0, hp_bits_ = 0, item_count_ = 0, flag_count_ = 0;
  int hp_at_ = 0, items_at_ = 0, flags_at_ = 0;

  // States, in the order found (breadth first from the start).
  Blocks<std::uint64_t> keys_;
  Blocks<Edge> edges_;
  Blocks<std::uint32_t> edge_begin_;  // first edge of each state, and one past the last
  Blocks<std::uint32_t> parent_;      // the state a state was first reached from
  Blocks<std::uint16_t> step_;        // option << 8 | tier of that first step
  Array<Slot> table_;
  std::size_t table_mask_ = 0;
  std::uint32_t states_ = 0;
  std::uint32_t start_ = kNoState;  // state 0, or the end the start section itself is
  bool capped_ = false;
  std::vector<std::uint8_t> arrived_;                     // some arrival reached the section
  std::vector<std::int64_t> section_states_;              // states per section
  std::vector<std::uint8_t> taken_;                       // per option: some state took it
  Outcome outcomes_[SECTION_MAX_TRANSITIONS * kTiers]{};  // of the state explored

  // Solver arrays, per state.
  Array<std::uint32_t> component_;  // strongly connected component, sinks first
  Array<std::uint32_t> members_;    // states grouped by component
  Array<std::uint32_t> member_begin_;
  std::uint32_t components_ = 0;
  Array<std::uint8_t> reach_;
  Array<double> value_;         // best-play probability of victory, then random-play mass
  Array<double> upper_;         // upper bounds of value_, once some loop could not be solved
  Array<std::uint32_t> local_;  // a state's index within its component
  std::vector<double> ending_mass_;

  // Working memory of the loop being solved, by index within it.
  LoopSolver loop_;
  std::vector<double> sol_;
  std::vector<std::uint32_t> policy_;    // first edge of the move each state takes
  std::vector<std::uint32_t> previous_;  // the move before the last round
  std::vector<std::uint32_t> into_begin_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> into_;  // (state, edge) into a state
  std::vector<std::uint8_t> reached_;
  std::vector<std::uint8_t> unsolvable_;  // per component, once some loop was too large
  std::vector<std::uint32_t> queue_;
};

// ---------------------------------------------------------------- set-up

bool Analysis::prepare() {
  if (story_.section_count <= 0) {
    report_.error = "la historia no tiene secciones";
    return false;
  }
  for (const NameText& item : list_used(story_.items, story_.item_count)) items_.add(item.view());
  for (const StorySection& s : list_used(story_.sections, story_.section_count)) {
    for (const NameText& item : list_used(s.items, s.item_count)) items_.add(item.view());
    for (const StoryTransition& t : list_used(s.transitions, s.transition_count)) {
      items_.add(t.gain_item.view());
      flags_.add(t.set_flag.view());
    }
  }
  char why[160];
  if (items_.size() > ANALYZE_MAX_NAMES || flags_.size() > ANALYZE_MAX_NAMES) {
    bool items = items_.size() > ANALYZE_MAX_NAMES;
    std::snprintf(why, sizeof why,
                  "la historia usa %d %s distintos; el análisis exacto admite hasta %d",
                  items ? items_.size() : flags_.size(), items ? "objetos" : "condiciones",
                  ANALYZE_MAX_NAMES);
    report_.error = why;
    return false;
  }

  base_.reset(new (std::nothrow) Character());
  hero_.reset(new (std::nothrow) Character());
  if (!base_ || !hero_) {
    report_.error = "no hay memoria suficiente";
    return false;
  }
  character_seed_from_story(*base_, story_, "");

  // Key layout: the section, then hit points (never above the maximum), items, flags.
  section_bits_ = bits_for_values(static_cast<std::uint64_t>(story_.section_count - 1));
  hp_bits_ = bits_for_values(static_cast<std::uint64_t>(base_->max_hp));
  item_count_ = items_.size();
  flag_count_ = flags_.size();
  hp_at_ = section_bits_;
  items_at_ = hp_at_ + hp_bits_;
  flags_at_ = items_at_ + item_count_;
  words_ = std::max(1, (flags_at_ + flag_count_ + 63) / 64);

  int total = 0;
  for (const StorySection& s : list_used(story_.sections, story_.section_count)) {
    option_base_.push_back(total);
    total += static_cast<int>(list_used(s.transitions, s.transition_count).size());
  }
  option_base_.push_back(total);
  plans_.resize(static_cast<std::size_t>(total));
  taken_.assign(static_cast<std::size_t>(total), 0);
  arrived_.assign(static_cast<std::size_t>(story_.section_count), 0);
  section_states_.assign(static_cast<std::size_t>(story_.section_count), 0);
  ending_mass_.assign(static_cast<std::size_t>(story_.section_count), 0.0);

  for (int sec = 0; sec < story_.section_count; ++sec) {
    const StorySection& s = story_.sections[sec];
    for (int o = 0; o < static_cast<int>(list_used(s.transitions, s.transition_count).size());
         ++o) {
      const StoryTransition& t = s.transitions[o];
      OptionPlan& plan = plans_[static_cast<std::size_t>(option_base(sec) + o)];
      // Whether a typed line reaches an option does not depend on the hero;
      // whether the hero may take it is asked per state.
      OptionLineText input;
      plan.input = rules_option_input(s, o, input);
      if (!rules_transition_rolls(t)) {
        plan.picks = 1;
        plan.pick[0] = TierPick{OUTCOME_NONE, kDicePairs, 1, 1};
        continue;
      }
      // Stats never change, so the seeded hero's stat is the modifier of every roll.
      int counts[6];
      TierPick pairs[6];
      check_odds(character_get_stat(*base_, t.check_stat.view()), t.check_dc, counts, pairs);
      for (int tier = OUTCOME_CRIT_SUCCESS; tier <= OUTCOME_CRIT_FAILURE; ++tier) {
        if (counts[tier] > 0) plan.pick[plan.picks++] = pairs[tier];
      }
      // Likeliest first: a witness then names the likeliest tier that leads its way.
      std::stable_sort(plan.pick, plan.pick + plan.picks,
                       [](const TierPick& a, const TierPick& b) { return a.count > b.count; });
    }
  }
  constexpr std::size_t kFirstTable = 1024;
  if (!table_.allocate(meter_, kFirstTable)) {
    report_.error = "no hay memoria suficiente";
    return false;
  }
  table_mask_ = kFirstTable - 1;
  return true;
}

// ---------------------------------------------------------------- states

Key Analysis::make_key(int section, std::int32_t hp, std::uint64_t items,
                       std::uint64_t flags) const {
  Key k{};
  put_field(k, 0, section_bits_, static_cast<std::uint64_t>(section));
  put_field(k, hp_at_, hp_bits_, static_cast<std::uint64_t>(hp));
  put_field(k, items_at_, item_count_, items);
  put_field(k, flags_at_, flag_count_, flags);
  return k;
}

Key Analysis::key_of(std::uint32_t s) const {
  Key k{};
  std::size_t at = static_cast<std::size_t>(s) * static_cast<std::size_t>(words_);
  for (int i = 0; i < words_; ++i) k.w[i] = keys_[at + static_cast<std::size_t>(i)];
  return k;
}

std::uint64_t Analysis::hash(const Key& k) const {
  std::uint64_t h = mix(k.w[0] + 0x9e3779b97f4a7c15ull);
  for (int i = 1; i < words_; ++i) h = mix(h ^ k.w[i]);
  return h;
}

bool Analysis::same_key(std::uint32_t id, const Key& k) const {
  std::size_t at = static_cast<std::size_t>(id) * static_cast<std::size_t>(words_);
  for (int i = 0; i < words_; ++i) {
    if (keys_[at + static_cast<std::size_t>(i)] != k.w[i]) return false;
  }
  return true;
}

// What a slot holds for a key: the key itself when it is one word, else its hash.
std::uint64_t Analysis::slot_word(const Key& k, std::uint64_t h) const {
  return words_ == 1 ? k.w[0] : h;
}

bool Analysis::grow_table() {
  Array<Slot> bigger;
  if (!bigger.allocate(meter_, table_.size() * 2)) return false;
  std::size_t mask = table_.size() * 2 - 1;
  for (std::size_t i = 0; i < table_.size(); ++i) {
    const Slot& old = table_[i];
    if (old.id == 0) continue;
    std::size_t j = hash(key_of(old.id - 1)) & mask;
    while (bigger[j].id != 0) j = (j + 1) & mask;
    bigger[j] = old;
  }
  table_.swap(bigger);
  table_mask_ = mask;
  return true;
}

std::uint32_t Analysis::intern(const Key& key, std::uint64_t h, int section, std::uint32_t parent,
                               int option, int tier) {
  std::uint64_t word = slot_word(key, h);
  std::size_t i = h & table_mask_;
  for (; table_[i].id != 0; i = (i + 1) & table_mask_) {
    const Slot& slot = table_[i];
    if ((static_cast<std::uint64_t>(slot.hi) << 32 | slot.lo) != word) continue;
    if (words_ == 1 || same_key(slot.id - 1, key)) return slot.id - 1;
  }
  if (static_cast<std::int64_t>(states_) >= max_states_) {
    capped_ = true;
    return kEndUnexplored;
  }
  std::uint32_t id = states_;
  for (int w = 0; w < words_; ++w) keys_.push_back(key.w[w]);
  parent_.push_back(parent);
  step_.push_back(static_cast<std::uint16_t>(option << 8 | tier));
  if (meter_.failed) return kEndUnexplored;
  ++states_;
  table_[i] =
      Slot{static_cast<std::uint32_t>(word), static_cast<std::uint32_t>(word >> 32), id + 1};
  ++section_states_[static_cast<std::size_t>(section)];
  // At most three quarters full, so a probe meets a free slot soon.
  if (static_cast<std::size_t>(states_) * 4 > table_.size() * 3) grow_table();
  return id;
}

void Analysis::load_hero(std::int32_t hp, std::uint64_t items, std::uint64_t flags) {
  Character& h = *hero_;
  h.hp = hp;
  h.inventory_count = 0;
  for (std::uint64_t rest = items; rest != 0; rest &= rest - 1) {
    std::memcpy(&h.inventory[h.inventory_count++],
                &items_.names[static_cast<std::size_t>(std::countr_zero(rest))], sizeof(NameText));
  }
  h.flag_count = 0;
  for (std::uint64_t rest = flags; rest != 0; rest &= rest - 1) {
    FlagEntry& f = h.flags[h.flag_count++];
    std::memcpy(&f.name, &flags_.names[static_cast<std::size_t>(std::countr_zero(rest))],
                sizeof(NameText));
    f.value = 1;
  }
  // Conditions are not part of a state: nothing in the rules reads them.
  h.state_count = 0;
}

// The items a hero carries as bits. The entries loaded from `before` keep
// their order (removal shifts, adding appends), so they are matched in one
// pass; only entries added since are looked up by name.
std::uint64_t Analysis::items_of(const Character& h, std::uint64_t before) const {
  std::uint64_t bits = 0;
  std::uint64_t rest = before;
  for (const NameText& e : list_used(h.inventory, h.inventory_count)) {
    bool matched = false;
    while (rest != 0 && !matched) {
      int i = std::countr_zero(rest);
      rest &= rest - 1;
      if (std::strcmp(e.c_str(), items_.names[static_cast<std::size_t>(i)].c_str()) == 0) {
        bits |= std::uint64_t{1} << i;
        matched = true;
      }
    }
    if (matched) continue;
    int i = items_.find(e.view());
    if (i >= 0) bits |= std::uint64_t{1} << i;
  }
  return bits;
}

std::uint64_t Analysis::flags_of(const Character& h, std::uint64_t before) const {
  std::uint64_t bits = 0;
  std::uint64_t rest = before;
  for (const FlagEntry& f : list_used(h.flags, h.flag_count)) {
    bool matched = false;
    while (rest != 0 && !matched) {
      int i = std::countr_zero(rest);
      rest &= rest - 1;
      if (std::strcmp(f.name.c_str(), flags_.names[static_cast<std::size_t>(i)].c_str()) == 0) {
        if (f.value != 0) bits |= std::uint64_t{1} << i;
        matched = true;
      }
    }
    if (matched || f.value == 0) continue;
    int i = flags_.find(f.name.view());
    if (i >= 0) bits |= std::uint64_t{1} << i;
  }
  return bits;
}

int Analysis::find_section(OptionPlan* plan, std::string_view target) {
  if (plan != nullptr) {
    for (int m = 0; m < 2; ++m) {
      if (plan->memo_section[m] != -2 && plan->memo_id[m] == target) return plan->memo_section[m];
    }
  }
  const StorySection* found = story_get_section(story_, target);
  int index = found == nullptr ? -1 : static_cast<int>(found - story_.sections);
  if (plan != nullptr) {
    plan->memo_id[1] = plan->memo_id[0];
    plan->memo_section[1] = plan->memo_section[0];
    plan->memo_id[0].assign(target);
    plan->memo_section[0] = index;
  }
  return index;
}

// One pass of the turn loop on arrival: the section, its hazard, its items,
// the death test and the ending test. The hero is the one just moved; the
// state it is left in goes to `out` (its slot of the table is fetched ahead,
// so that the look-ups of one state's outcomes overlap).
void Analysis::arrive(OptionPlan* plan, std::string_view target, std::uint64_t items_before,
                      std::uint64_t flags_before, Outcome& out) {
  int index = find_section(plan, target);
  out.end = kEndMissing;
  if (index < 0) return;
  arrived_[static_cast<std::size_t>(index)] = 1;
  const StorySection& section = story_.sections[index];
  Character& h = *hero_;
  Arrival arrival;
  rules_arrive(h, section, arrival);
  out.end = kEndDeath;
  if (arrival.end == ArrivalEnd::kDeath) return;
  out.end = kEndSection + static_cast<std::uint32_t>(index);
  if (arrival.end == ArrivalEnd::kEnding) return;
  out.end = kNoState;
  out.section = index;
  out.key = make_key(index, h.hp, items_of(h, items_before), flags_of(h, flags_before));
  out.hash = hash(out.key);
#if defined(__GNUC__)
  __builtin_prefetch(&table_[out.hash & table_mask_]);
#endif
}

void Analysis::explore(std::uint32_t s) {
  Key key = key_of(s);
  int sec = section_of(key);
  std::int32_t hp = hp_of(key);
  std::uint64_t items = item_bits_of(key);
  std::uint64_t flags = flag_bits_of(key);
  const StorySection& section = story_.sections[sec];
  edge_begin_.push_back(static_cast<std::uint32_t>(edges_.size()));
  load_hero(hp, items, flags);

  // The moves: options a typed line reaches that the hero may take now.
  int moves[SECTION_MAX_TRANSITIONS];
  int move_count = 0;
  int options = static_cast<int>(list_used(section.transitions, section.transition_count).size());
  for (int o = 0; o < options; ++o) {
    if (!plans_[static_cast<std::size_t>(option_base(sec) + o)].input) continue;
    if (!rules_option_allowed(*hero_, section.transitions[o], nullptr, 0)) continue;
    moves[move_count++] = o;
  }

  // Every outcome of every move, resolved on a freshly loaded hero.
  int outcomes = 0;
  bool fresh = true;  // as loaded: asking whether an option is allowed changes nothing
  for (int m = 0; m < move_count; ++m) {
    int o = moves[m];
    std::size_t plan_index = static_cast<std::size_t>(option_base(sec) + o);
    OptionPlan& plan = plans_[plan_index];
    const StoryTransition& t = section.transitions[o];
    taken_[plan_index] = 1;
    bool first = true;
    for (int p = 0; p < plan.picks; ++p) {
      const TierPick pick = plan.pick[p];
      if (!fresh) load_hero(hp, items, flags);
      fresh = false;
      IdText target{};
      if (!rules_resolve_transition_with_dice(*hero_, t, pick.die1, pick.die2, target.raw(),
                                              target.capacity(), nullptr, nullptr, 0)) {
        continue;
      }
      Outcome& out = outcomes_[outcomes++];
      out.option = static_cast<std::uint8_t>(o);
      out.tier = static_cast<std::uint8_t>(pick.tier);
      out.count = static_cast<std::uint8_t>(pick.count);
      out.first = first ? 1 : 0;
      first = false;
      // A hero left without hit points ends there, before the destination is looked up.
      if (character_is_alive(*hero_)) {
        arrive(&plan, target.view(), items, flags, out);
      } else {
        out.end = kEndDeath;
      }
    }
  }

  // Their states, and the edges: the ways of one move that lead to the same
  // place are one edge.
  std::size_t first_edge = edges_.size();
  for (int i = 0; i < outcomes; ++i) {
    Outcome& out = outcomes_[i];
    if (out.first != 0) first_edge = edges_.size();
    std::uint32_t dest = out.end;
    if (dest == kNoState) {
      // Several ways often lead to the same state, or straight back: look each up once.
      if (std::memcmp(&key, &out.key, sizeof key) == 0) dest = s;
      for (int k = 0; k < i && dest == kNoState; ++k) {
        if (outcomes_[k].end == kNoState &&
            std::memcmp(&outcomes_[k].key, &out.key, sizeof key) == 0) {
          dest = outcomes_[k].state;
        }
      }
      if (dest == kNoState) dest = intern(out.key, out.hash, out.section, s, out.option, out.tier);
      out.state = dest;
    }
    bool merged = false;
    for (std::size_t e = first_edge; e < edges_.size() && !merged; ++e) {
      if (edges_[e].target != dest) continue;
      edges_[e].count = static_cast<std::uint8_t>(edges_[e].count + out.count);
      merged = true;
    }
    if (merged) continue;
    edges_.push_back(Edge{dest, out.count, out.option, out.tier,
                          static_cast<std::uint8_t>(edges_.size() == first_edge ? 1 : 0)});
  }
}

// ---------------------------------------------------------------- solving

std::uint8_t Analysis::end_reach(std::uint32_t target) const {
  // Past the cap anything may follow: count it as every end, so that what is
  // reported as lost or trapped is certain.
  if (target == kEndUnexplored) return kCanEnd | kCanWin | kCanAbsorb;
  return static_cast<std::uint8_t>(kCanEnd | kCanAbsorb |
                                   (end_value(target) > 0 ? kCanWin | kWinsSurely : 0));
}

// Tarjan's strongly connected components, without recursion. Components are
// numbered as they complete, so every edge leads to the same or a lower
// number: ascending order visits successors first.
bool Analysis::find_components() {
  std::size_t n = states_;
  Array<std::uint32_t> index;
  Array<std::uint32_t> stack;
  Array<std::uint32_t> frame_state;
  Array<std::uint32_t> frame_edge;
  Array<std::uint8_t> on_stack;
  if (!index.allocate(meter_, n) || !stack.allocate(meter_, n) ||
      !frame_state.allocate(meter_, n) || !frame_edge.allocate(meter_, n) ||
      !on_stack.allocate(meter_, n) || !component_.allocate(meter_, n) ||
      !members_.allocate(meter_, n) || !member_begin_.allocate(meter_, n + 1)) {
    return false;
  }
  // `component_` holds the low link while a state is open, its component after.
  Array<std::uint32_t>& low = component_;
  for (std::size_t i = 0; i < n; ++i) index[i] = kNoState;
  std::uint32_t counter = 0;
  std::size_t stack_size = 0;
  std::size_t frames = 0;
  std::size_t placed = 0;
  auto open = [&](std::uint32_t v) {
    index[v] = low[v] = counter++;
    stack[stack_size++] = v;
    on_stack[v] = 1;
    frame_state[frames] = v;
    frame_edge[frames++] = edge_begin_[v];
#if defined(__GNUC__)
    // The successors are looked at next: fetch their entries together.
    for (std::uint32_t e = edge_begin_[v]; e < edge_begin_[v + 1]; ++e) {
      std::uint32_t w = edges_[e].target;
      if (!is_end(w)) __builtin_prefetch(&index[w]);
    }
#endif
  };
  open(0);
  while (frames > 0) {
    std::uint32_t v = frame_state[frames - 1];
    std::uint32_t& next = frame_edge[frames - 1];
    if (next < edge_begin_[v + 1]) {
      std::uint32_t w = edges_[next++].target;
      if (is_end(w)) continue;
      if (index[w] == kNoState) {
        open(w);
      } else if (on_stack[w] != 0) {
        low[v] = std::min(low[v], index[w]);
      }
      continue;
    }
    --frames;
    if (frames > 0) {
      std::uint32_t u = frame_state[frames - 1];
      low[u] = std::min(low[u], low[v]);
    }
    if (low[v] != index[v]) continue;
    member_begin_[components_] = static_cast<std::uint32_t>(placed);
    std::uint32_t w;
    do {
      w = stack[--stack_size];
      on_stack[w] = 0;
      low[w] = components_;
      members_[placed++] = w;
    } while (w != v);
    ++components_;
  }
  member_begin_[components_] = static_cast<std::uint32_t>(placed);
  return true;
}

void Analysis::fold_reach() {
  for (std::uint32_t c = 0; c < components_; ++c) {
    std::uint8_t reach = 0;
    for (std::uint32_t m = member_begin_[c]; m < member_begin_[c + 1]; ++m) {
      std::uint32_t v = members_[m];
      if (edge_begin_[v] == edge_begin_[v + 1]) reach |= kCanAbsorb;  // stuck
      for (std::uint32_t e = edge_begin_[v]; e < edge_begin_[v + 1]; ++e) {
        std::uint32_t t = edges_[e].target;
        if (is_end(t)) {
          reach |= end_reach(t);
        } else if (component_[t] != c) {
          reach |= reach_[t];
        }
      }
    }
    for (std::uint32_t m = member_begin_[c]; m < member_begin_[c + 1]; ++m) {
      reach_[members_[m]] = reach;
    }
  }
}

// The edges of one move of `s` run from its first edge `e` to the returned one.
std::uint32_t Analysis::move_end(std::uint32_t s, std::uint32_t e) const {
  std::uint32_t end = edge_begin_[s + 1];
  for (++e; e < end && edges_[e].first == 0; ++e) {
  }
  return e;
}

// The probability of victory of the move [e, end) with the values in `v`.
double Analysis::move_value(std::uint32_t e, std::uint32_t end, const Array<double>& v) const {
  double sum = 0;
  for (; e < end; ++e) {
    std::uint32_t t = edges_[e].target;
    sum += edges_[e].count * (is_end(t) ? end_value(t) : v[t]);
  }
  return sum / kDicePairs;
}

// The best probability of victory over the moves of `s`, with the values in
// `v`; `best_option` gets the option index of the first best move.
double Analysis::best_of(std::uint32_t s, const Array<double>& v, int* best_option) const {
  double best = 0;
  int chosen = -1;
  for (std::uint32_t e = edge_begin_[s]; e < edge_begin_[s + 1];) {
    std::uint32_t next = move_end(s, e);
    double q = move_value(e, next, v);
    if (chosen < 0 || q > best) {
      best = q;
      chosen = edges_[e].option;
    }
    e = next;
  }
  if (best_option != nullptr) *best_option = chosen;
  return best;
}

// Best play, sinks first: every component is solved once the values of all
// it can reach are known. `value_` gets the best values; once some loop had
// to be iterated, `upper_` carries upper bounds beside them.
void Analysis::solve_best() {
  for (std::uint32_t c = 0; c < components_; ++c) {
    if ((reach_[members_[member_begin_[c]]] & kCanWin) == 0) continue;  // values stay 0
    solve_best_component(c, value_, false);
    if (upper_.size() > 0) solve_best_component(c, upper_, true);
  }
  report_.best_victory_at_most = !report_.complete    ? 1.0
                                 : report_.best_exact ? value_[0]
                                 : upper_.size() > 0  ? upper_[0]
                                                      : 1.0;
  // Iteration from both sides can meet (moves that win for certain settle
  // at exactly 1): the answer is then known after all.
  if (report_.complete && report_.best_victory_at_most == value_[0]) report_.best_exact = true;
}

void Analysis::solve_best_component(std::uint32_t c, Array<double>& v, bool upper) {
  std::uint32_t begin = member_begin_[c];
  std::uint32_t end = member_begin_[c + 1];
  if (end - begin == 1) {
    // One state: a move that comes straight back k times in 36 and wins
    // `out` of the rest is worth out/(36-k) when kept; the best such ratio
    // is the value.
    std::uint32_t s = members_[begin];
    double best = 0;
    for (std::uint32_t e = edge_begin_[s]; e < edge_begin_[s + 1];) {
      std::uint32_t next = move_end(s, e);
      double out = 0;
      int self = 0;
      for (; e < next; ++e) {
        std::uint32_t t = edges_[e].target;
        if (t == s) {
          self += edges_[e].count;
        } else {
          out += edges_[e].count * (is_end(t) ? end_value(t) : v[t]);
        }
      }
      if (self < kDicePairs) best = std::max(best, out / (kDicePairs - self));
    }
    v[s] = best;
    return;
  }
  if (solvable(c) && solve_policy(c, v)) return;
  unsolvable(c);

  // Too large to solve: iterate from below (each sweep is still a value some
  // strategy reaches) and, from then on, from above as well.
  report_.best_exact = false;
  if (!upper && upper_.size() == 0 && upper_.allocate(meter_, states_)) {
    for (std::size_t i = 0; i < states_; ++i) upper_[i] = value_[i];
  }
  if (upper) {
    for (std::uint32_t m = begin; m < end; ++m) v[members_[m]] = 1;
  }
  std::uint64_t work = 0;
  for (;;) {
    double change = 0;
    for (std::uint32_t m = begin; m < end; ++m) {
      std::uint32_t s = members_[m];
      double nv = best_of(s, v, nullptr);
      change = std::max(change, std::fabs(nv - v[s]));
      v[s] = nv;
      work += edge_begin_[s + 1] - edge_begin_[s];
    }
    if (change <= kSettled || work > iteration_work_) break;
  }
}

// Policy iteration on loop `c`: start from a strategy that surely leaves the
// loop, solve its values exactly, let every state switch to a move that is
// strictly better under those values, and repeat until none is. Switching
// only on strict gains keeps every strategy one that leaves the loop, so each
// solve has a unique answer; the values never decrease, so it ends. False when
// a solve is too large or the rounds run out.
bool Analysis::solve_policy(std::uint32_t c, Array<double>& v) {
  std::uint32_t begin = member_begin_[c];
  std::uint32_t m = member_begin_[c + 1] - begin;
  for (std::uint32_t i = 0; i < m; ++i) local_[members_[begin + i]] = i;
  index_loop(c);
  policy_.assign(m, 0);
  previous_.assign(m, 0);
  sol_.assign(m, 0.0);
  if (!attract(c, v, false)) return false;
  for (int round = 0; round < kMaxPolicyRounds; ++round) {
    loop_.reset(m);
    for (std::uint32_t i = 0; i < m; ++i) {
      std::uint32_t s = members_[begin + i];
      loop_.begin_row(i);
      for (std::uint32_t e = policy_[i], end = move_end(s, e); e < end; ++e) {
        std::uint32_t t = edges_[e].target;
        double w = edges_[e].count / static_cast<double>(kDicePairs);
        if (!is_end(t) && component_[t] == c) {
          if (t != s) loop_.add(local_[t], w);
          continue;
        }
        loop_.add_exit(w);
        double value = is_end(t) ? end_value(t) : v[t];
        if (value > 0) loop_.add_rhs(w * value);
      }
      loop_.end_row();
    }
    if (!loop_.solve_values(max_solver_entries_, sol_)) return false;
    for (std::uint32_t i = 0; i < m; ++i) v[members_[begin + i]] = sol_[i];

    bool changed = false;
    for (std::uint32_t i = 0; i < m; ++i) {
      std::uint32_t s = members_[begin + i];
      double best = v[s] * (1 + kPolicyGain);
      std::uint32_t chosen = policy_[i];
      for (std::uint32_t e = edge_begin_[s]; e < edge_begin_[s + 1];) {
        std::uint32_t next = move_end(s, e);
        double q = move_value(e, next, v);
        if (q > best) {
          best = q;
          chosen = e;
        }
        e = next;
      }
      previous_[i] = policy_[i];
      if (chosen != policy_[i]) changed = true;
      policy_[i] = chosen;
    }
    if (!changed) return true;
    // Rounding could still let a switch close a loop on itself: those states
    // keep their former moves, under which they surely left.
    if (!attract(c, v, true)) {
      for (std::uint32_t i = 0; i < m; ++i) {
        if (reached_[i] == 0) policy_[i] = previous_[i];
      }
      if (!attract(c, v, true)) return false;
    }
  }
  return false;
}

// The moves inside loop `c`, reversed: for each state, the (state, edge)
// pairs that lead to it from elsewhere in the loop.
void Analysis::index_loop(std::uint32_t c) {
  std::uint32_t begin = member_begin_[c];
  std::uint32_t m = member_begin_[c + 1] - begin;
  into_begin_.assign(m + 1, 0);
  for (std::uint32_t i = 0; i < m; ++i) {
    std::uint32_t s = members_[begin + i];
    for (std::uint32_t e = edge_begin_[s]; e < edge_begin_[s + 1]; ++e) {
      std::uint32_t t = edges_[e].target;
      if (!is_end(t) && t != s && component_[t] == c) ++into_begin_[local_[t] + 1];
    }
  }
  for (std::uint32_t i = 0; i < m; ++i) into_begin_[i + 1] += into_begin_[i];
  into_.resize(into_begin_[m]);
  std::vector<std::uint32_t> at(into_begin_.begin(), into_begin_.end() - 1);
  for (std::uint32_t i = 0; i < m; ++i) {
    std::uint32_t s = members_[begin + i];
    for (std::uint32_t e = edge_begin_[s]; e < edge_begin_[s + 1]; ++e) {
      std::uint32_t t = edges_[e].target;
      if (!is_end(t) && t != s && component_[t] == c) into_[at[local_[t]]++] = {i, e};
    }
  }
}

// Which states of loop `c` surely leave it: those with a move out, then those
// with a move to a state already found. With `chosen_only` only the moves of
// the policy count; otherwise a first policy is chosen on the way (the move
// out that pays most at once, then the move found first). True when all do.
bool Analysis::attract(std::uint32_t c, const Array<double>& v, bool chosen_only) {
  std::uint32_t begin = member_begin_[c];
  std::uint32_t m = member_begin_[c + 1] - begin;
  reached_.assign(m, 0);
  queue_.clear();
  for (std::uint32_t i = 0; i < m; ++i) {
    std::uint32_t s = members_[begin + i];
    double best = -1;
    for (std::uint32_t e = edge_begin_[s]; e < edge_begin_[s + 1];) {
      std::uint32_t next = move_end(s, e);
      if (!chosen_only || e == policy_[i]) {
        bool leaves = false;
        double pays = 0;
        for (std::uint32_t k = e; k < next; ++k) {
          std::uint32_t t = edges_[k].target;
          if (!is_end(t) && component_[t] == c) continue;
          leaves = true;
          pays += edges_[k].count * (is_end(t) ? end_value(t) : v[t]);
        }
        if (leaves && pays > best) {
          best = pays;
          if (!chosen_only) policy_[i] = e;
        }
      }
      e = next;
    }
    if (best < 0) continue;
    reached_[i] = 1;
    queue_.push_back(i);
  }
  for (std::size_t head = 0; head < queue_.size(); ++head) {
    std::uint32_t j = queue_[head];
    for (std::uint32_t r = into_begin_[j]; r < into_begin_[j + 1]; ++r) {
      auto [i, e] = into_[r];
      if (reached_[i] != 0) continue;
      if (chosen_only) {
        if (e < policy_[i] || e >= move_end(members_[begin + i], policy_[i])) continue;
      } else {
        while (edges_[e].first == 0) --e;
        policy_[i] = e;
      }
      reached_[i] = 1;
      queue_.push_back(i);
    }
  }
  return queue_.size() == m;
}

// Sends `mass` arriving at `s` along its moves, each move alike and each of
// its ways by its dice; mass that stays in `component` waits there, unless
// only the ways leaving it are wanted.
void Analysis::pour(std::uint32_t s, double mass, std::uint32_t component, bool leaving_only) {
  std::uint32_t begin = edge_begin_[s];
  std::uint32_t end = edge_begin_[s + 1];
  int moves = 0;
  for (std::uint32_t e = begin; e < end; ++e) moves += edges_[e].first;
  double unit = mass / (moves * static_cast<double>(kDicePairs));
  AnalyzeRandomPlay& r = report_.random_play;
  for (std::uint32_t e = begin; e < end; ++e) {
    const Edge& edge = edges_[e];
    double part = unit * edge.count;
    std::uint32_t t = edge.target;
    if (leaving_only && !is_end(t) && component_[t] == component) continue;
    if (t == kEndDeath) {
      r.death += part;
    } else if (t == kEndMissing) {
      r.missing_section += part;
    } else if (t == kEndUnexplored) {
      r.unexplored += part;
    } else if (t >= kEndSection) {
      ending_mass_[t - kEndSection] += part;
    } else if (component_[t] == component || (reach_[t] & kCanAbsorb) != 0) {
      value_[t] += part;
    } else {
      r.endless += part;  // it enters states that never end
    }
  }
}

// Random play: the mass of the start flows through the components from the
// start down; `value_` holds the mass waiting at each state. A loop's
// expected visits are solved exactly, then sent along the ways out.
void Analysis::solve_random() {
  AnalyzeRandomPlay& r = report_.random_play;
  for (std::size_t i = 0; i < states_; ++i) value_[i] = 0;
  if ((reach_[0] & kCanAbsorb) == 0) {
    r.endless = 1;
  } else {
    value_[0] = 1;
  }
  for (std::uint32_t c = components_; c-- > 0;) {
    std::uint32_t begin = member_begin_[c];
    std::uint32_t end = member_begin_[c + 1];
    if ((reach_[members_[begin]] & kCanAbsorb) == 0) continue;
    if (end - begin == 1) {
      std::uint32_t v = members_[begin];
      double mass = value_[v];
      value_[v] = 0;
      if (mass == 0) continue;
      if (edge_begin_[v] == edge_begin_[v + 1]) {
        r.stuck += mass;
        continue;
      }
      // Mass that loops straight back comes round again: scale it up front
      // (in whole dice pairs, so that a rare way out loses no precision).
      int moves = 0;
      int self = 0;
      for (std::uint32_t e = edge_begin_[v]; e < edge_begin_[v + 1]; ++e) {
        moves += edges_[e].first;
        if (edges_[e].target == v) self += edges_[e].count;
      }
      double pairs = moves * static_cast<double>(kDicePairs);
      pour(v, mass * pairs / (pairs - self), c, true);
      continue;
    }
    if (solvable(c) && flow_loop(c)) continue;
    unsolvable(c);
    iterate_flow(c);
  }
  tally_endings();
}

// The expected visits x of the states of loop `c` satisfy x = inflow + Wᵀx
// (W the moves inside the loop), solved exactly; then each state sends x
// along the ways out. False when the loop is too large to solve.
bool Analysis::flow_loop(std::uint32_t c) {
  std::uint32_t begin = member_begin_[c];
  std::uint32_t m = member_begin_[c + 1] - begin;
  bool inflow = false;
  for (std::uint32_t i = 0; i < m && !inflow; ++i) inflow = value_[members_[begin + i]] != 0;
  if (!inflow) return true;
  for (std::uint32_t i = 0; i < m; ++i) local_[members_[begin + i]] = i;
  loop_.reset(m);
  for (std::uint32_t i = 0; i < m; ++i) {
    std::uint32_t s = members_[begin + i];
    int moves = 0;
    for (std::uint32_t e = edge_begin_[s]; e < edge_begin_[s + 1]; ++e) moves += edges_[e].first;
    double pairs = moves * static_cast<double>(kDicePairs);
    loop_.begin_row(i);
    for (std::uint32_t e = edge_begin_[s]; e < edge_begin_[s + 1]; ++e) {
      std::uint32_t t = edges_[e].target;
      double w = edges_[e].count / pairs;
      if (is_end(t) || component_[t] != c) {
        loop_.add_exit(w);
      } else if (t != s) {
        loop_.add(local_[t], w);
      }
    }
    loop_.add_rhs(value_[s]);
    loop_.end_row();
  }
  sol_.assign(m, 0.0);
  if (!loop_.solve_flows(max_solver_entries_, sol_)) return false;
  for (std::uint32_t i = 0; i < m; ++i) value_[members_[begin + i]] = 0;
  for (std::uint32_t i = 0; i < m; ++i) pour(members_[begin + i], sol_[i], c, true);
  return true;
}

// A loop too large to solve: its mass is pushed round for a fixed amount of
// work, and what is still inside is reported as unsolved.
void Analysis::iterate_flow(std::uint32_t c) {
  std::uint32_t begin = member_begin_[c];
  std::uint32_t end = member_begin_[c + 1];
  std::uint64_t work = 0;
  double left = 0;
  for (;;) {
    for (std::uint32_t m = begin; m < end; ++m) {
      std::uint32_t s = members_[m];
      double mass = value_[s];
      if (mass == 0) continue;
      value_[s] = 0;
      pour(s, mass, c, false);
      work += edge_begin_[s + 1] - edge_begin_[s];
    }
    left = 0;
    for (std::uint32_t m = begin; m < end; ++m) left += value_[members_[m]];
    if (left <= kSettled || work > iteration_work_) break;
  }
  for (std::uint32_t m = begin; m < end; ++m) value_[members_[m]] = 0;
  if (left == 0) return;
  report_.random_play.exact = false;
  report_.random_play.unsolved += left;
}

void Analysis::tally_endings() {
  AnalyzeRandomPlay& r = report_.random_play;
  for (int sec = 0; sec < story_.section_count; ++sec) {
    const StorySection& s = story_.sections[sec];
    if (!s.is_ending) continue;
    double p = ending_mass_[static_cast<std::size_t>(sec)];
    report_.endings.push_back(AnalyzeEnding{sec, p});
    if (s.ending_type == "victory") {
      r.victory += p;
    } else if (s.ending_type == "defeat") {
      r.defeat += p;
    } else {
      r.neutral += p;
    }
  }
}

// The first move of one best strategy: the first step of a shortest path to a
// victory that only takes best moves. Every state on it keeps its best value,
// and each step gets nearer a victory, so playing this way wins as often as
// possible.
void Analysis::choose_first_move() {
  report_.best_victory = value_[0];
  if (value_[0] <= 0) return;
  Array<std::uint32_t> queue;
  Array<std::uint8_t> first;  // option index + 1 taken at the start to get here; 0 unseen
  if (!queue.allocate(meter_, states_) || !first.allocate(meter_, states_)) return;
  std::size_t head = 0;
  std::size_t tail = 0;
  queue[tail++] = 0;
  first[0] = 0xFF;
  while (head < tail) {
    std::uint32_t s = queue[head++];
    // Relative: a best value may be tiny (a long run of rare checks) and still matter.
    double target_value = value_[s] * (1 - kBestSlack);
    for (std::uint32_t e = edge_begin_[s]; e < edge_begin_[s + 1];) {
      std::uint32_t next = move_end(s, e);
      bool wins = false;
      for (std::uint32_t k = e; k < next; ++k) {
        wins = wins || (is_end(edges_[k].target) && end_value(edges_[k].target) > 0);
      }
      int option = edges_[e].option;
      std::uint8_t via = s == 0 ? static_cast<std::uint8_t>(option + 1) : first[s];
      if (move_value(e, next, value_) >= target_value) {
        if (wins) {
          report_.best_first_option = via;
          return;
        }
        for (std::uint32_t k = e; k < next; ++k) {
          std::uint32_t t = edges_[k].target;
          if (is_end(t) || first[t] != 0) continue;
          first[t] = via;
          queue[tail++] = t;
        }
      }
      e = next;
    }
  }
  int option = -1;
  best_of(0, value_, &option);
  report_.best_first_option = option + 1;
}

AnalyzePath Analysis::witness(std::uint32_t s) const {
  AnalyzePath path;
  path.push_back(AnalyzeStep{section_of(key_of(s)), 0, OUTCOME_NONE});
  while (parent_[s] != kNoState) {
    std::uint16_t step = step_[s];
    s = parent_[s];
    path.push_back(AnalyzeStep{section_of(key_of(s)), (step >> 8) + 1, step & 0xFF});
  }
  std::reverse(path.begin(), path.end());
  return path;
}

void Analysis::find_soft_locks() {
  std::size_t sections = static_cast<std::size_t>(story_.section_count);
  std::vector<std::uint32_t> first_trap(sections, kNoState);
  std::vector<std::uint32_t> first_lost(sections, kNoState);
  std::vector<std::int64_t> lost(sections, 0);
  // Only a victory actually found makes a state that cannot win a lost
  // cause: past the cap the story may have none at all.
  bool winnable = (reach_[0] & kWinsSurely) != 0;
  // Ids follow the breadth-first order, so the first id of a section has a shortest witness.
  for (std::uint32_t s = 0; s < states_; ++s) {
    std::size_t sec = static_cast<std::size_t>(section_of(key_of(s)));
    if ((reach_[s] & kCanEnd) == 0) {
      if (first_trap[sec] == kNoState) first_trap[sec] = s;
    } else if (winnable && (reach_[s] & kCanWin) == 0) {
      if (first_lost[sec] == kNoState) first_lost[sec] = s;
      ++lost[sec];
    }
  }

  // What the first lost state of a section lacks: what a winnable state of the
  // same section carries and it does not, preferring one with no more hit points.
  struct Lack {
    int rank = 3;  // 0: items or flags with no more hp, 1: items or flags, 2: only hp, 3: none
    int count = 0;
    std::uint64_t items = 0, flags = 0;
  };
  std::vector<Lack> lacks(sections);
  for (std::uint32_t s = 0; s < states_; ++s) {
    if ((reach_[s] & kWinsSurely) == 0) continue;  // past the cap, only a victory found counts
    Key k = key_of(s);
    std::size_t sec = static_cast<std::size_t>(section_of(k));
    if (first_lost[sec] == kNoState) continue;
    Key l = key_of(first_lost[sec]);
    std::uint64_t items = item_bits_of(k) & ~item_bits_of(l);
    std::uint64_t flags = flag_bits_of(k) & ~flag_bits_of(l);
    int count = std::popcount(items) + std::popcount(flags);
    bool more_hp = hp_of(k) > hp_of(l);
    int rank = count > 0 ? (more_hp ? 1 : 0) : (more_hp ? 2 : 3);
    Lack& best = lacks[sec];
    if (rank < best.rank || (rank == best.rank && count < best.count))
      best = Lack{rank, count, items, flags};
  }

  for (std::size_t sec = 0; sec < sections; ++sec) {
    if (first_trap[sec] != kNoState) {
      std::uint32_t s = first_trap[sec];
      report_.traps.push_back(
          AnalyzeTrap{static_cast<int>(sec), edge_begin_[s] == edge_begin_[s + 1], witness(s)});
    }
    if (first_lost[sec] == kNoState) continue;
    AnalyzeLostCause cause;
    cause.section = static_cast<int>(sec);
    cause.states = lost[sec];
    cause.of_states = section_states_[sec];
    const Lack& lack = lacks[sec];
    if (lack.items != 0) {
      cause.example_missing =
          items_.names[static_cast<std::size_t>(std::countr_zero(lack.items))].view();
    } else if (lack.flags != 0) {
      cause.example_missing = join(
          {"flag:", flags_.names[static_cast<std::size_t>(std::countr_zero(lack.flags))].view()});
    } else if (lack.rank == 2) {
      cause.example_missing = "hp";
    }
    cause.path = witness(first_lost[sec]);
    report_.lost_causes.push_back(std::move(cause));
  }
}

void Analysis::find_never_takeable() {
  // Why an allowed-by-input option was never taken: the refusal test that
  // failed in every state of its section, in the order the rules test them.
  enum : std::uint8_t { kItemMet = 1, kFlagMet = 2, kNotBlocked = 4 };
  std::vector<std::uint8_t> seen(plans_.size(), 0);
  bool any = false;
  for (std::size_t i = 0; i < plans_.size(); ++i) any = any || (!taken_[i] && plans_[i].input);
  if (any) {
    for (std::uint32_t s = 0; s < states_; ++s) {
      Key k = key_of(s);
      int sec = section_of(k);
      const StorySection& section = story_.sections[sec];
      bool loaded = false;
      for (int o = 0;
           o < static_cast<int>(list_used(section.transitions, section.transition_count).size());
           ++o) {
        std::size_t i = static_cast<std::size_t>(option_base(sec) + o);
        if (taken_[i] || !plans_[i].input) continue;
        if (!loaded) load_hero(hp_of(k), item_bits_of(k), flag_bits_of(k));
        loaded = true;
        const StoryTransition& t = section.transitions[o];
        bool item = character_has_item(*hero_, t.required_item.view());
        bool flag =
            t.required_flag.empty() || character_get_flag(*hero_, t.required_flag.view()) != 0;
        bool open =
            t.blocking_flag.empty() || character_get_flag(*hero_, t.blocking_flag.view()) == 0;
        seen[i] |= static_cast<std::uint8_t>((item ? kItemMet : 0) | (flag ? kFlagMet : 0) |
                                             (open ? kNotBlocked : 0));
      }
    }
  }
  for (int sec = 0; sec < story_.section_count; ++sec) {
    if (!arrived_[static_cast<std::size_t>(sec)]) continue;
    const StorySection& section = story_.sections[sec];
    for (int o = 0;
         o < static_cast<int>(list_used(section.transitions, section.transition_count).size());
         ++o) {
      std::size_t i = static_cast<std::size_t>(option_base(sec) + o);
      if (taken_[i]) continue;
      const StoryTransition& t = section.transitions[o];
      std::string reason;
      if (section.is_ending) {
        reason = "ending_section";
      } else if (section_states_[static_cast<std::size_t>(sec)] == 0) {
        reason = "death_on_arrival";
      } else if (!plans_[i].input) {
        reason = rules_option_access(t) == OptionAccess::kNone ? "hidden_without_command"
                                                               : "no_typed_input";
      } else if ((seen[i] & kItemMet) == 0) {
        reason = "item_never_obtainable";
      } else if ((seen[i] & kFlagMet) == 0) {
        reason = "flag_never_set";
      } else if ((seen[i] & kNotBlocked) == 0) {
        reason = "flag_always_set";
      } else {
        reason = "never_allowed";
      }
      report_.never_takeable.push_back(AnalyzeNeverTakeable{sec, o + 1, reason});
    }
  }
  for (int sec = 0; sec < story_.section_count; ++sec) {
    if (!arrived_[static_cast<std::size_t>(sec)]) report_.unreachable_sections.push_back(sec);
  }
}

void Analysis::static_facts() {
  NameSet set, tested, obtainable, obtained, required;
  for (const NameText& item : list_used(story_.items, story_.item_count))
    obtainable.add(item.view());
  for (const StorySection& s : list_used(story_.sections, story_.section_count)) {
    for (const NameText& item : list_used(s.items, s.item_count)) {
      obtainable.add(item.view());
      obtained.add(item.view());
    }
    for (const StoryTransition& t : list_used(s.transitions, s.transition_count)) {
      obtainable.add(t.gain_item.view());
      obtained.add(t.gain_item.view());
      required.add(t.required_item.view());
      set.add(t.set_flag.view());
      tested.add(t.required_flag.view());
      tested.add(t.blocking_flag.view());
    }
  }
  auto minus = [](const NameSet& a, const NameSet& b, std::vector<std::string>& out) {
    for (const NameText& n : a.names) {
      if (b.find(n.view()) < 0) out.emplace_back(n.view());
    }
  };
  minus(set, tested, report_.flags_set_never_tested);
  minus(tested, set, report_.flags_tested_never_set);
  minus(required, obtainable, report_.items_required_never_obtainable);
  minus(obtained, required, report_.items_obtained_never_required);
}

void Analysis::list_checks() {
  for (int sec = 0; sec < story_.section_count; ++sec) {
    const StorySection& section = story_.sections[sec];
    for (int o = 0;
         o < static_cast<int>(list_used(section.transitions, section.transition_count).size());
         ++o) {
      const StoryTransition& t = section.transitions[o];
      if (!rules_transition_rolls(t)) continue;
      AnalyzeCheck check;
      check.section = sec;
      check.option = o + 1;
      check.dc = t.check_dc;
      check.modifier = character_get_stat(*base_, t.check_stat.view());
      TierPick pairs[6];
      check_odds(check.modifier, check.dc, check.odds, pairs);
      report_.checks.push_back(check);
    }
  }
}

bool Analysis::run() {
  if (!prepare()) return false;
  static_facts();
  list_checks();

  // The first pass of a new adventure: the seeded hero arrives at the start.
  *hero_ = *base_;
  std::string_view start = story_.start.empty() ? std::string_view("1") : story_.start.view();
  Outcome first{};
  arrive(nullptr, start, 0, 0, first);
  start_ = first.end != kNoState
               ? first.end
               : intern(first.key, first.hash, first.section, kNoState, 0, OUTCOME_NONE);
  for (std::uint32_t s = 0; s < states_ && !meter_.failed; ++s) explore(s);
  edge_begin_.push_back(static_cast<std::uint32_t>(edges_.size()));
  table_.release();
  if (meter_.failed || edges_.size() >= kEndBase) {
    report_.error = "no hay memoria suficiente para tantos estados";
    return false;
  }
  report_.states = states_;
  report_.complete = !capped_;
  if (!is_end(start_)) report_.start_section = section_of(key_of(0));

  if (is_end(start_)) {
    // The adventure ends on its first pass: nothing to explore.
    AnalyzeRandomPlay& r = report_.random_play;
    if (start_ == kEndDeath) r.death = 1;
    if (start_ == kEndMissing) r.missing_section = 1;
    if (start_ >= kEndSection) ending_mass_[start_ - kEndSection] = 1;
    tally_endings();
    report_.best_victory = report_.best_victory_at_most = end_value(start_);
    if (report_.complete) find_never_takeable();
    report_.peak_bytes = meter_.peak;
    return true;
  }

  if (!find_components() || !reach_.allocate(meter_, states_) ||
      !value_.allocate(meter_, states_) || !local_.allocate(meter_, states_)) {
    report_.error = "no hay memoria suficiente para tantos estados";
    return false;
  }
  fold_reach();
  solve_best();
  choose_first_move();
  find_soft_locks();
  solve_random();
  // The loop solver keeps its largest working set until here.
  meter_.add(loop_.bytes());
  meter_.sub(loop_.bytes());
  // Past the cap nothing is certain about what is never taken or reached.
  if (report_.complete) find_never_takeable();
  report_.peak_bytes = meter_.peak;
  return true;
}

}  // namespace

bool story_analyze(const Story& story, std::int64_t max_states, AnalyzeReport& report,
                   std::int64_t max_solver_entries) {
  report = AnalyzeReport{};
  if (max_states < 1) max_states = 1;
  if (max_states >= static_cast<std::int64_t>(kEndBase)) max_states = kEndBase - 1;
  Analysis analysis(story, max_states, max_solver_entries, report);
  report.analysable = analysis.run();
  if (!report.analysable) {
    std::string error = std::move(report.error);
    report = AnalyzeReport{};
    report.error = std::move(error);
  }
  return report.analysable;
}
