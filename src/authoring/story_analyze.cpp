#include "authoring/story_analyze.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

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

// Random play stops pushing the mass of a loop once less than this is left in it.
constexpr double kFlowTolerance = 1e-16;
// Best play iterates a loop until a sweep changes no value by more than this,
// or until the geometric rate of the changes bounds the remaining error by kValueError.
constexpr double kValueStep = 1e-15;
constexpr double kValueError = 1e-13;
// Loops of at most this many states are solved exactly by elimination.
constexpr int kSmallLoop = 32;
// A loop that converges slower than this many sweeps is left where it stands.
constexpr int kMaxSweeps = 1000000;
// Moves within this of the best value count as best when choosing the first move.
constexpr double kBestSlack = 1e-12;

// What a state can still reach, folded over its successors.
constexpr std::uint8_t kCanEnd = 1;     // some ending, death or missing section
constexpr std::uint8_t kCanWin = 2;     // a victory ending
constexpr std::uint8_t kCanAbsorb = 4;  // an end or a state without moves

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
  Analysis(const Story& story, std::int64_t max_states, AnalyzeReport& report)
      : story_(story),
        max_states_(max_states),
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
  double best_of(std::uint32_t s, int* best_option) const;
  void pour(std::uint32_t s, double mass, std::uint32_t component, bool leaving_only);
  void solve_small_loop(std::uint32_t component);
  AnalyzePath witness(std::uint32_t s) const;
  int option_base(int section) const { return option_base_[static_cast<std::size_t>(section)]; }

  const Story& story_;
  std::int64_t max_states_;
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
  Array<double> value_;  // best-play probability of victory
  std::vector<double> ending_mass_;
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
  return static_cast<std::uint8_t>(kCanEnd | kCanAbsorb | (end_value(target) > 0 ? kCanWin : 0));
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

// The best probability of victory over the moves of `s`, with the values known
// so far; `best_option` gets the option index of the first best move.
double Analysis::best_of(std::uint32_t s, int* best_option) const {
  double best = 0;
  double current = 0;
  int option = -1;
  int chosen = -1;
  for (std::uint32_t e = edge_begin_[s]; e < edge_begin_[s + 1]; ++e) {
    const Edge& edge = edges_[e];
    if (edge.first != 0) {
      if (option >= 0 && current > best) {
        best = current;
        chosen = option;
      }
      if (chosen < 0) chosen = edge.option;
      current = 0;
      option = edge.option;
    }
    double v = is_end(edge.target) ? end_value(edge.target) : value_[edge.target];
    current += edge.count * v;
  }
  if (option >= 0 && current > best) {
    best = current;
    chosen = option;
  }
  if (best_option != nullptr) *best_option = chosen;
  return best / kDicePairs;
}

void Analysis::solve_best() {
  for (std::uint32_t c = 0; c < components_; ++c) {
    std::uint32_t begin = member_begin_[c];
    std::uint32_t end = member_begin_[c + 1];
    if ((reach_[members_[begin]] & kCanWin) == 0) continue;  // values stay 0
    if (end - begin == 1) {
      // One state: a move that comes straight back k times in 36 and wins
      // `out` of the rest is worth out/(36-k) when kept; the best such ratio
      // is the value.
      std::uint32_t v = members_[begin];
      double best = 0;
      double out = 0;
      double self = 0;
      auto close_move = [&] {
        if (self < kDicePairs) best = std::max(best, out / (kDicePairs - self));
      };
      for (std::uint32_t e = edge_begin_[v]; e < edge_begin_[v + 1]; ++e) {
        const Edge& edge = edges_[e];
        if (edge.first != 0 && e != edge_begin_[v]) {
          close_move();
          out = self = 0;
        }
        if (edge.target == v) {
          self += edge.count;
        } else {
          out += edge.count * (is_end(edge.target) ? end_value(edge.target) : value_[edge.target]);
        }
      }
      if (edge_begin_[v] != edge_begin_[v + 1]) close_move();
      value_[v] = best;
      continue;
    }
    // A loop: value iteration from zero, in place, until it settles.
    double previous = 0;
    for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
      double change = 0;
      for (std::uint32_t m = begin; m < end; ++m) {
        std::uint32_t v = members_[m];
        double nv = best_of(v, nullptr);
        change = std::max(change, nv - value_[v]);
        value_[v] = nv;
      }
      if (change <= kValueStep) break;
      double rate = previous > 0 ? change / previous : 1;
      if (rate < 1 && change * rate / (1 - rate) <= kValueError) break;
      previous = change;
    }
  }
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

// Random play: the mass of the start flows through the components in
// topological order; inside a loop it is pushed round until what is left is
// negligible. `value_` holds the mass waiting at each state.
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
      // Mass that loops straight back comes round again: scale it up front.
      int moves = 0;
      double self = 0;
      for (std::uint32_t e = edge_begin_[v]; e < edge_begin_[v + 1]; ++e) {
        moves += edges_[e].first;
        if (edges_[e].target == v) self += edges_[e].count;
      }
      double stay = self / (moves * static_cast<double>(kDicePairs));
      pour(v, mass / (1 - stay), c, true);
      value_[v] = 0;
      continue;
    }
    if (end - begin <= kSmallLoop) {
      solve_small_loop(c);
      continue;
    }
    for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
      double left = 0;
      for (std::uint32_t m = begin; m < end; ++m) {
        std::uint32_t v = members_[m];
        double mass = value_[v];
        if (mass == 0) continue;
        value_[v] = 0;
        pour(v, mass, c, false);
      }
      for (std::uint32_t m = begin; m < end; ++m) left += value_[members_[m]];
      if (left <= kFlowTolerance) break;
    }
    for (std::uint32_t m = begin; m < end; ++m) value_[members_[m]] = 0;
  }
  tally_endings();
}

// A small loop is solved exactly: the expected visits x of its states satisfy
// x = inflow + P'x (P the moves inside the loop), solved by elimination; then
// each state sends x along the ways out of the loop.
void Analysis::solve_small_loop(std::uint32_t c) {
  std::uint32_t begin = member_begin_[c];
  int m = static_cast<int>(member_begin_[c + 1] - begin);
  // The augmented matrix, row by row; only its m x (m + 1) corner is used.
  double a[kSmallLoop * (kSmallLoop + 1)];
  const int w = m + 1;
  auto at = [&](int r, int k) -> double& { return a[r * w + k]; };
  for (int i = 0; i < m * w; ++i) a[i] = 0;
  auto local = [&](std::uint32_t state) {
    int j = 0;
    while (members_[begin + static_cast<std::uint32_t>(j)] != state) ++j;
    return j;
  };
  for (int i = 0; i < m; ++i) {
    std::uint32_t v = members_[begin + static_cast<std::uint32_t>(i)];
    at(i, i) += 1;
    at(i, m) = value_[v];
    int moves = 0;
    for (std::uint32_t e = edge_begin_[v]; e < edge_begin_[v + 1]; ++e) moves += edges_[e].first;
    double unit = 1.0 / (moves * static_cast<double>(kDicePairs));
    for (std::uint32_t e = edge_begin_[v]; e < edge_begin_[v + 1]; ++e) {
      std::uint32_t t = edges_[e].target;
      if (!is_end(t) && component_[t] == c) at(local(t), i) -= unit * edges_[e].count;
    }
  }
  // Gaussian elimination with partial pivoting; the matrix is an M-matrix
  // (the loop leaks), so it is never singular.
  for (int col = 0; col < m; ++col) {
    int pivot = col;
    for (int r = col + 1; r < m; ++r) {
      if (std::fabs(at(r, col)) > std::fabs(at(pivot, col))) pivot = r;
    }
    if (pivot != col) {
      for (int k = 0; k <= m; ++k) std::swap(at(pivot, k), at(col, k));
    }
    for (int r = col + 1; r < m; ++r) {
      double f = at(r, col) / at(col, col);
      if (f == 0) continue;
      for (int k = col; k <= m; ++k) at(r, k) -= f * at(col, k);
    }
  }
  double x[kSmallLoop];
  for (int r = m - 1; r >= 0; --r) {
    double sum = at(r, m);
    for (int k = r + 1; k < m; ++k) sum -= at(r, k) * x[k];
    x[r] = sum / at(r, r);
  }
  for (int i = 0; i < m; ++i) value_[members_[begin + static_cast<std::uint32_t>(i)]] = 0;
  for (int i = 0; i < m; ++i) pour(members_[begin + static_cast<std::uint32_t>(i)], x[i], c, true);
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
    double target_value = value_[s] - kBestSlack;
    std::uint32_t e = edge_begin_[s];
    std::uint32_t end = edge_begin_[s + 1];
    while (e < end) {
      std::uint32_t move_end = e + 1;
      while (move_end < end && edges_[move_end].first == 0) ++move_end;
      double q = 0;
      bool wins = false;
      for (std::uint32_t k = e; k < move_end; ++k) {
        std::uint32_t t = edges_[k].target;
        q += edges_[k].count * (is_end(t) ? end_value(t) : value_[t]);
        wins = wins || (is_end(t) && end_value(t) > 0);
      }
      int option = edges_[e].option;
      std::uint8_t via = s == 0 ? static_cast<std::uint8_t>(option + 1) : first[s];
      if (q / kDicePairs >= target_value) {
        if (wins) {
          report_.best_first_option = via;
          return;
        }
        for (std::uint32_t k = e; k < move_end; ++k) {
          std::uint32_t t = edges_[k].target;
          if (is_end(t) || first[t] != 0) continue;
          first[t] = via;
          queue[tail++] = t;
        }
      }
      e = move_end;
    }
  }
  int option = -1;
  best_of(0, &option);
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
  bool winnable = (reach_[0] & kCanWin) != 0;
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
    if ((reach_[s] & kCanWin) == 0) continue;
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
        bool nothing_to_type = rules_option_access(t) == OptionAccess::kNone ||
                               (t.is_hidden && rules_option_command_or_label(t).empty());
        reason = nothing_to_type ? "hidden_without_command" : "no_typed_input";
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
    report_.best_victory = end_value(start_);
    if (report_.complete) find_never_takeable();
    report_.peak_bytes = meter_.peak;
    return true;
  }

  if (!find_components() || !reach_.allocate(meter_, states_) ||
      !value_.allocate(meter_, states_)) {
    report_.error = "no hay memoria suficiente para tantos estados";
    return false;
  }
  fold_reach();
  solve_best();
  choose_first_move();
  find_soft_locks();
  solve_random();
  // Past the cap nothing is certain about what is never taken or reached.
  if (report_.complete) find_never_takeable();
  report_.peak_bytes = meter_.peak;
  return true;
}

// ---------------------------------------------------------------- reports

const char* tier_name(int tier) {
  switch (tier) {
    case OUTCOME_CRIT_SUCCESS:
      return "éxito crítico";
    case OUTCOME_SUCCESS:
      return "éxito";
    case OUTCOME_COST:
      return "éxito con coste";
    case OUTCOME_FAILURE:
      return "fallo";
    case OUTCOME_CRIT_FAILURE:
      return "pifia";
    default:
      return "";
  }
}

const char* tier_key(int tier) {
  switch (tier) {
    case OUTCOME_CRIT_SUCCESS:
      return "crit_success";
    case OUTCOME_SUCCESS:
      return "success";
    case OUTCOME_COST:
      return "cost";
    case OUTCOME_FAILURE:
      return "failure";
    case OUTCOME_CRIT_FAILURE:
      return "crit_failure";
    default:
      return "";
  }
}

const char* ending_word(std::string_view type) {
  if (type == "victory") return "victoria";
  if (type == "defeat") return "derrota";
  return "neutral";
}

const char* ending_key(std::string_view type) {
  if (type == "victory") return "victory";
  if (type == "defeat") return "defeat";
  return "neutral";
}

const char* reason_text(std::string_view reason) {
  if (reason == "hidden_without_command") return "oculta y sin nada que teclear";
  if (reason == "no_typed_input") return "ninguna línea tecleada llega a ella";
  if (reason == "item_never_obtainable") return "ningún héroe llega aquí con el objeto que exige";
  if (reason == "flag_never_set") return "ningún héroe llega aquí con la condición que exige";
  if (reason == "flag_always_set") return "todo héroe llega aquí con la condición que la bloquea";
  if (reason == "never_allowed")
    return "ningún héroe llega aquí cumpliendo a la vez sus condiciones";
  if (reason == "ending_section") return "la sección es un final";
  if (reason == "death_on_arrival") return "todo héroe muere al llegar a la sección";
  return "";
}

// "26.8 %"; right-aligned in a column of `width` characters when asked.
std::string percent(double p, int width = 0) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%*.1f %%", width, 100.0 * p);
  return buf;
}

std::string number(double p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.15g", p);
  return buf;
}

std::string section_name(const Story& story, int sec) {
  const StorySection& s = story.sections[sec];
  return join({"[", s.id.view(), "] ", s.title.view()});
}

std::string quoted(std::string_view text) {
  std::string out;
  json_text_append_escaped(out, text);
  return out;
}

std::string names_line(const std::vector<std::string>& names, const char* none) {
  if (names.empty()) return none;
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) out += join({i ? ", " : "", names[i]});
  return out;
}

std::string names_json(const std::vector<std::string>& names) {
  std::string out = "[";
  for (std::size_t i = 0; i < names.size(); ++i) out += join({i ? ", " : "", quoted(names[i])});
  return out + "]";
}

std::string path_json(const Story& story, const AnalyzePath& path) {
  std::string out = "[";
  for (std::size_t i = 0; i < path.size(); ++i) {
    const AnalyzeStep& step = path[i];
    out += join({i ? ", " : "", "{\"section\": ", quoted(story.sections[step.section].id.view())});
    if (step.option > 0) out += join({", \"option\": ", std::to_string(step.option)});
    if (step.tier != OUTCOME_NONE) out += join({", \"tier\": \"", tier_key(step.tier), "\""});
    out += "}";
  }
  return out + "]";
}

}  // namespace

bool story_analyze(const Story& story, std::int64_t max_states, AnalyzeReport& report) {
  report = AnalyzeReport{};
  if (max_states < 1) max_states = 1;
  if (max_states >= static_cast<std::int64_t>(kEndBase)) max_states = kEndBase - 1;
  Analysis analysis(story, max_states, report);
  report.analysable = analysis.run();
  if (!report.analysable) {
    std::string error = std::move(report.error);
    report = AnalyzeReport{};
    report.error = std::move(error);
  }
  return report.analysable;
}

std::string story_analyze_path_text(const Story& story, const AnalyzePath& path) {
  std::string out;
  for (std::size_t i = 0; i < path.size(); ++i) {
    const AnalyzeStep& step = path[i];
    out += join({i ? " → " : "", story.sections[step.section].id.view()});
    if (step.tier == OUTCOME_NONE || step.option < 1) continue;
    const StoryTransition& t = story.sections[step.section].transitions[step.option - 1];
    out += join({" [", t.check_stat.view(), ": ", tier_name(step.tier), "]"});
  }
  return out;
}

std::string story_analyze_format_text(const Story& story, const std::string& file,
                                      const AnalyzeReport& report) {
  if (!report.analysable) return join({file, ": no se puede analizar: ", report.error, ".\n"});
  const AnalyzeRandomPlay& r = report.random_play;
  std::string out = join({"Análisis de «", story.title.view(), "» (", file, ")\n"});
  out += join({"Estados: ", std::to_string(report.states),
               report.complete ? "\n" : " (parcial: se alcanzó el límite de estados)\n"});

  out += "\nJuego al azar (cada opción posible con la misma probabilidad):\n";
  struct Row {
    const char* name;
    double p;
  };
  const Row rows[] = {{"victoria", r.victory}, {"derrota", r.defeat},
                      {"neutral", r.neutral},  {"muerte", r.death},
                      {"atascado", r.stuck},   {"sección inexistente", r.missing_section},
                      {"sin fin", r.endless},  {"sin explorar", r.unexplored}};
  for (const Row& row : rows) {
    std::string_view name = row.name;
    if (name == "sin explorar" && report.complete) continue;
    // Pad to a column of 22 characters, counting each UTF-8 character once.
    std::size_t columns = 0;
    for (char c : name) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    out += join({"  ", name, std::string(22 - columns, ' '), percent(row.p, 5), "\n"});
  }
  if (!report.endings.empty()) out += "  Por final:\n";
  for (const AnalyzeEnding& e : report.endings) {
    out += join({"    ", percent(e.random_play, 5), "  ", section_name(story, e.section), " (",
                 ending_word(story.sections[e.section].ending_type.view()), ")\n"});
  }

  out += join({"\nMejor juego: ", percent(report.best_victory), " de victorias"});
  if (!report.complete) out += " como mínimo";
  if (report.best_first_option > 0 && report.start_section >= 0) {
    const StorySection& start = story.sections[report.start_section];
    OptionLineText input;
    rules_option_input(start, report.best_first_option - 1, input);
    out +=
        join({"; primera opción: «", start.transitions[report.best_first_option - 1].label.view(),
              "» (se elige tecleando «", input.view(), "»)"});
  }
  out += ".\n";

  out += "\nEncierros (estados desde los que no se llega a ningún final):\n";
  if (report.traps.empty()) out += "  (ninguno)\n";
  for (const AnalyzeTrap& t : report.traps) {
    out += join({"  ", section_name(story, t.section),
                 t.stuck ? ": sin ninguna opción posible\n" : ": un bucle del que no se sale\n",
                 "      ", story_analyze_path_text(story, t.path), "\n"});
  }

  out += "\nSin victoria (vivo, sin final a la vista, pero ya no se puede ganar):\n";
  if (report.lost_causes.empty()) out += "  (ninguna)\n";
  for (const AnalyzeLostCause& c : report.lost_causes) {
    out += join({"  ", section_name(story, c.section), ": ", std::to_string(c.states), " de ",
                 std::to_string(c.of_states), " estados"});
    if (c.example_missing == "hp") {
      out += "; le faltan puntos de vida";
    } else if (starts_with(c.example_missing, "flag:")) {
      out +=
          join({"; le falta la condición «", std::string_view(c.example_missing).substr(5), "»"});
    } else if (!c.example_missing.empty()) {
      out += join({"; le falta: ", c.example_missing});
    }
    out += join({"\n      ", story_analyze_path_text(story, c.path), "\n"});
  }

  out += "\nPruebas (pares de dados de 36):\n";
  if (report.checks.empty()) out += "  (ninguna)\n";
  for (const AnalyzeCheck& c : report.checks) {
    const StoryTransition& t = story.sections[c.section].transitions[c.option - 1];
    char line[256];
    std::snprintf(
        line, sizeof line,
        " %+d contra DC %d: crítico %d, éxito %d, coste %d, fallo %d, pifia %d; "
        "pasa %s\n",
        c.modifier, c.dc, c.odds[OUTCOME_CRIT_SUCCESS], c.odds[OUTCOME_SUCCESS],
        c.odds[OUTCOME_COST], c.odds[OUTCOME_FAILURE], c.odds[OUTCOME_CRIT_FAILURE],
        percent((c.odds[OUTCOME_CRIT_SUCCESS] + c.odds[OUTCOME_SUCCESS] + c.odds[OUTCOME_COST]) /
                36.0)
            .c_str());
    out += join({"  [", story.sections[c.section].id.view(), "] opción ", std::to_string(c.option),
                 ", ", t.check_stat.view(), line});
  }

  if (report.complete) {
    out += "\nOpciones que ninguna partida puede tomar:\n";
    if (report.never_takeable.empty()) out += "  (ninguna)\n";
    for (const AnalyzeNeverTakeable& n : report.never_takeable) {
      const StoryTransition& t = story.sections[n.section].transitions[n.option - 1];
      std::string_view label = t.label.empty() ? std::string_view("sin texto") : t.label.view();
      out += join({"  [", story.sections[n.section].id.view(), "] opción ",
                   std::to_string(n.option), " «", label, "»: ", reason_text(n.reason), "\n"});
    }
    std::vector<std::string> unreachable;
    for (int sec : report.unreachable_sections) unreachable.push_back(section_name(story, sec));
    out += join(
        {"\nSecciones a las que nunca se llega: ", names_line(unreachable, "(ninguna)"), "\n"});
  }

  out += join({"\nCondiciones que se activan y nada consulta: ",
               names_line(report.flags_set_never_tested, "(ninguna)"), "\n"});
  out += join({"Condiciones consultadas que nada activa: ",
               names_line(report.flags_tested_never_set, "(ninguna)"), "\n"});
  out += join({"Objetos exigidos que no se pueden obtener: ",
               names_line(report.items_required_never_obtainable, "(ninguno)"), "\n"});
  out += join({"Objetos que se obtienen y nada exige: ",
               names_line(report.items_obtained_never_required, "(ninguno)"), "\n"});
  return out;
}

std::string story_analyze_format_json(const Story& story, const std::string& file,
                                      const AnalyzeReport& report, int indent) {
  std::string pad(static_cast<std::size_t>(indent), ' ');
  std::string in = pad + "  ";
  if (!report.analysable) {
    return join({pad, "{\"file\": ", quoted(file), ", \"error\": ", quoted(report.error), "}"});
  }
  const AnalyzeRandomPlay& r = report.random_play;
  std::string out = join({pad, "{\n", in, "\"file\": ", quoted(file), ",\n"});
  out += join({in, "\"states\": ", std::to_string(report.states), ",\n"});
  out += join({in, "\"complete\": ", report.complete ? "true" : "false", ",\n"});
  out += join({in, "\"random_play\": {\"victory\": ", number(r.victory),
               ", \"defeat\": ", number(r.defeat), ", \"neutral\": ", number(r.neutral),
               ", \"death\": ", number(r.death), ", \"stuck\": ", number(r.stuck),
               ", \"missing_section\": ", number(r.missing_section),
               ", \"endless\": ", number(r.endless)});
  if (!report.complete) out += join({", \"unexplored\": ", number(r.unexplored)});
  out += "},\n";

  out += join({in, "\"endings\": ["});
  for (std::size_t i = 0; i < report.endings.size(); ++i) {
    const AnalyzeEnding& e = report.endings[i];
    const StorySection& s = story.sections[e.section];
    out += join({i ? ", " : "", "{\"id\": ", quoted(s.id.view()), ", \"type\": \"",
                 ending_key(s.ending_type.view()), "\", \"random_play\": ", number(e.random_play),
                 "}"});
  }
  out += "],\n";

  out += join(
      {in, "\"best_play\": {\"victory\": ", number(report.best_victory), ", \"first_move\": "});
  if (report.best_first_option > 0 && report.start_section >= 0) {
    const StorySection& start = story.sections[report.start_section];
    out += join({"{\"option\": ", std::to_string(report.best_first_option), ", \"label\": ",
                 quoted(start.transitions[report.best_first_option - 1].label.view()), "}"});
  } else {
    out += "null";
  }
  out += "},\n";

  out += join({in, "\"traps\": ["});
  for (std::size_t i = 0; i < report.traps.size(); ++i) {
    const AnalyzeTrap& t = report.traps[i];
    out +=
        join({i ? ",\n" : "\n", in, "  {\"section\": ", quoted(story.sections[t.section].id.view()),
              ", \"path\": ", path_json(story, t.path), "}"});
  }
  out += report.traps.empty() ? "],\n" : join({"\n", in, "],\n"});

  out += join({in, "\"lost_causes\": ["});
  for (std::size_t i = 0; i < report.lost_causes.size(); ++i) {
    const AnalyzeLostCause& c = report.lost_causes[i];
    out +=
        join({i ? ",\n" : "\n", in, "  {\"section\": ", quoted(story.sections[c.section].id.view()),
              ", \"states\": ", std::to_string(c.states), ", \"example_missing\": ",
              quoted(c.example_missing), ", \"path\": ", path_json(story, c.path), "}"});
  }
  out += report.lost_causes.empty() ? "],\n" : join({"\n", in, "],\n"});

  out += join({in, "\"checks\": ["});
  for (std::size_t i = 0; i < report.checks.size(); ++i) {
    const AnalyzeCheck& c = report.checks[i];
    const StoryTransition& t = story.sections[c.section].transitions[c.option - 1];
    out +=
        join({i ? ",\n" : "\n", in, "  {\"section\": ", quoted(story.sections[c.section].id.view()),
              ", \"option\": ", std::to_string(c.option),
              ", \"stat\": ", quoted(t.check_stat.view()), ", \"dc\": ", std::to_string(c.dc),
              ", \"modifier\": ", std::to_string(c.modifier), ", \"odds\": {"});
    for (int tier = OUTCOME_CRIT_SUCCESS; tier <= OUTCOME_CRIT_FAILURE; ++tier) {
      out += join({tier > OUTCOME_CRIT_SUCCESS ? ", \"" : "\"", tier_key(tier),
                   "\": ", std::to_string(c.odds[tier])});
    }
    out += "}}";
  }
  out += report.checks.empty() ? "],\n" : join({"\n", in, "],\n"});

  out += join({in, "\"never_takeable\": ["});
  for (std::size_t i = 0; i < report.never_takeable.size(); ++i) {
    const AnalyzeNeverTakeable& n = report.never_takeable[i];
    out +=
        join({i ? ",\n" : "\n", in, "  {\"section\": ", quoted(story.sections[n.section].id.view()),
              ", \"option\": ", std::to_string(n.option), ", \"reason\": \"", n.reason, "\"}"});
  }
  out += report.never_takeable.empty() ? "],\n" : join({"\n", in, "],\n"});

  std::vector<std::string> unreachable;
  for (int sec : report.unreachable_sections) {
    unreachable.emplace_back(story.sections[sec].id.view());
  }
  out += join({in, "\"unreachable_sections\": ", names_json(unreachable), ",\n"});
  out += join({in, "\"flags\": {\"set_never_tested\": ", names_json(report.flags_set_never_tested),
               ", \"tested_never_set\": ", names_json(report.flags_tested_never_set), "},\n"});
  out += join({in, "\"items\": {\"required_never_obtainable\": ",
               names_json(report.items_required_never_obtainable),
               ", \"obtained_never_required\": ", names_json(report.items_obtained_never_required),
               "}\n"});
  out += join({pad, "}"});
  return out;
}
