#include "table/table_state.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TableState table_with(std::initializer_list<const char*> ids, TableMode mode = TableMode::kVote) {
  TableState state;
  table_state_init(state, mode);
  for (const char* id : ids) EXPECT_EQ(table_state_admit(state, id, id), TableAdmit::kAdmitted);
  return state;
}

TableTally tally_of(const TableState& state) {
  TableTally tally;
  table_state_tally(state, tally);
  return tally;
}

}  // namespace

TEST(TableState, AdmissionNeverHandsANameToASecondPerson) {
  TableState state = table_with({"ana"});
  EXPECT_EQ(table_state_admit(state, "ana", "Ana otra"), TableAdmit::kNameTaken);
  EXPECT_TRUE(table_state_set_present(state, "ana", false));
  EXPECT_EQ(table_state_admit(state, "ana", "Ana"), TableAdmit::kNameTaken);  // gone, still hers
  EXPECT_TRUE(table_state_remove(state, "ana"));
  EXPECT_FALSE(table_state_remove(state, "ana"));
  EXPECT_EQ(table_state_admit(state, "ana", "Ana"), TableAdmit::kRemoved);
  EXPECT_FALSE(table_state_set_present(state, "ana", true));  // removed stays out
  EXPECT_EQ(table_state_admit(state, "anfitrion", "x"), TableAdmit::kBadName);
  TableState full = table_with({});
  for (int i = 0; i < TABLE_MAX_PLAYERS + 1; ++i) {
    TableAdmit result = table_state_admit(full, "p" + std::to_string(i), "P");
    EXPECT_EQ(result, i < TABLE_MAX_PLAYERS ? TableAdmit::kAdmitted : TableAdmit::kFull) << i;
  }
  EXPECT_EQ(table_state_present_count(full), TABLE_MAX_PLAYERS);
}

TEST(TableState, LatestVoteCountsAndTheVoteGoesOnWithoutWhoLeft) {
  TableState state = table_with({"ana", "bob", "eva"});
  table_state_open_vote(state, 1, 3, 1000, 0);
  EXPECT_EQ(table_state_vote(state, "ana", 1, 1, 10), TableVote::kAccepted);
  EXPECT_EQ(table_state_vote(state, "ana", 1, 2, 11), TableVote::kAccepted);  // changes her mind
  EXPECT_EQ(table_state_vote(state, "ana", 1, 3, 9), TableVote::kStale);      // arrived late
  EXPECT_EQ(table_state_find(state, "ana")->vote, 2);
  EXPECT_EQ(table_state_vote(state, "bob", 0, 1, 1), TableVote::kOtherTurn);
  EXPECT_EQ(table_state_vote(state, "bob", 1, 4, 1), TableVote::kBadOption);
  EXPECT_EQ(table_state_vote(state, "bob", 1, 0, 1), TableVote::kBadOption);
  EXPECT_EQ(table_state_vote(state, "zoe", 1, 1, 1), TableVote::kUnknown);
  EXPECT_EQ(table_state_vote(state, "bob", 1, 3, 1), TableVote::kAccepted);
  EXPECT_FALSE(table_state_vote_due(state, 1000));
  // Eva's connection dies (her last will): everyone still present has voted.
  table_state_set_present(state, "eva", false);
  EXPECT_EQ(table_state_vote(state, "eva", 1, 1, 1), TableVote::kAbsent);
  EXPECT_TRUE(table_state_vote_due(state, 1000));
  // Bob leaves too: his vote leaves with him.
  table_state_set_present(state, "bob", false);
  EXPECT_STREQ(tally_of(state).line.c_str(), "Gana la opción 2 con 1 voto.");
  table_state_close_vote(state);
  EXPECT_FALSE(table_state_vote_due(state, 1000));
  EXPECT_EQ(table_state_vote(state, "ana", 1, 1, 20), TableVote::kClosed);
  // A new vote clears the old ones.
  table_state_open_vote(state, 2, 2, 1000, 0);
  EXPECT_EQ(table_state_find(state, "ana")->vote, 0);
  EXPECT_EQ(table_state_vote(state, "ana", 2, 1, 1), TableVote::kAccepted);  // sequences restart
}

TEST(TableState, TiesGoToTheLowestNumberAndTheLineSaysSo) {
  TableState state = table_with({"a", "b", "c", "d", "e", "f"});
  table_state_open_vote(state, 1, 9, 0, 0);
  const std::pair<const char*, int> votes[] = {{"a", 5}, {"b", 3}, {"c", 9},
                                               {"d", 9}, {"e", 5}, {"f", 3}};
  for (auto [id, option] : votes) table_state_vote(state, id, 1, option, 1);
  TableTally tally = tally_of(state);
  EXPECT_EQ(tally.winner, 3);
  EXPECT_STREQ(tally.line.c_str(),
               "Empate a 2 votos entre las opciones 3, 5 y 9: gana la 3, la de número más bajo.");
  TableState empty = table_with({"a"});
  table_state_open_vote(empty, 1, 2, 0, 0);
  tally = tally_of(empty);
  EXPECT_EQ(tally.winner, 0);
  EXPECT_STREQ(tally.line.c_str(), "Nadie ha votado.");
}

TEST(TableState, DeadlinePauseAndDirector) {
  TableState state = table_with({"ana", "bob"}, TableMode::kDirector);
  table_state_open_vote(state, 1, 3, 10000, 30);
  table_state_vote(state, "ana", 1, 1, 1);
  EXPECT_FALSE(table_state_vote_due(state, 39999));
  // Paused for 10 s: votes wait, and the vote keeps the time it had left.
  EXPECT_TRUE(table_state_pause(state, true, 20000));
  EXPECT_FALSE(table_state_pause(state, true, 20000));
  EXPECT_EQ(table_state_vote(state, "bob", 1, 2, 1), TableVote::kPaused);
  EXPECT_FALSE(table_state_vote_due(state, 45000));
  EXPECT_TRUE(table_state_pause(state, false, 30000));
  EXPECT_FALSE(table_state_vote_due(state, 49999));
  EXPECT_TRUE(table_state_vote_due(state, 50000));
  // Nobody present at all: never due before the deadline.
  TableState nobody = table_with({});
  table_state_open_vote(nobody, 1, 2, 0, 0);
  EXPECT_FALSE(table_state_vote_due(nobody, 1 << 30));

  TableTally tally = tally_of(state);
  TableLine line;
  EXPECT_FALSE(table_state_director_choose(state, tally, 4, line));
  TableTally none{};
  EXPECT_TRUE(table_state_director_choose(state, none, 2, line));
  EXPECT_STREQ(line.c_str(), "El director elige la opción 2.");
  EXPECT_TRUE(table_state_remove(state, "ana"));
  EXPECT_EQ(tally_of(state).votes, 0);
}
