#include "table/table_message.h"

#include <gtest/gtest.h>

#include <cstring>

#include "play_harness.h"

namespace {

constexpr const char* kTable = "k3j9x2ab";
const std::string kAnaActions = table_topic(kTable, TableChannel::kActions, "ana");

struct Keys {
  std::uint8_t table_key[TABLE_KEY_BYTES];
  std::uint8_t signing[TABLE_MAC_BYTES];
  Keys() {
    std::memset(table_key, 7, sizeof table_key);
    table_message_key(table_key, signing);
  }
} const keys;

TableReject open_code(const std::string& topic, const std::string& bytes) {
  TableMessage message;
  TableRejection why{};
  bool ok = table_message_open(kTable, keys.signing, topic, bytes, message, &why);
  EXPECT_EQ(ok, why.code == TableReject::kNone);
  EXPECT_TRUE(ok || !why.detail.empty());
  return why.code;
}

}  // namespace

TEST(TableMessage, SealedMessageOpensWithItsFieldsAndNoAlteredCopyDoes) {
  std::string data, bytes;
  table_encode_vote(2, 5, data);
  TableSigner signer;
  table_signer_init(signer, keys.table_key, "ana", 100);
  ASSERT_TRUE(
      table_message_seal(signer, kAnaActions, TableChannel::kActions, "voto", data, 0, bytes));
  ASSERT_EQ(open_code(kAnaActions, bytes), TableReject::kNone);
  // The exact layout the protocol document shows.
  EXPECT_TRUE(bytes.starts_with("{\"v\":1,\"tipo\":\"voto\",\"de\":\"ana\",\"id\":\""));
  EXPECT_NE(bytes.find("\",\"seq\":100,\"datos\":{\"opcion\":2,\"turno\":5},\"firma\":\""),
            std::string::npos);

  std::string altered = bytes;
  altered[altered.find("\"opcion\":2") + 9] = '3';
  EXPECT_EQ(open_code(kAnaActions, altered), TableReject::kBadSignature);
  // The same bytes copied to another adventurer's topic, or to another table.
  EXPECT_EQ(open_code(table_topic(kTable, TableChannel::kActions, "bob"), bytes),
            TableReject::kBadSignature);
  EXPECT_EQ(open_code(table_topic("zzzzzzzz", TableChannel::kActions, "ana"), bytes),
            TableReject::kTopic);
  EXPECT_EQ(open_code(kAnaActions, bytes.substr(0, bytes.size() - 1)), TableReject::kUnsigned);
  EXPECT_EQ(open_code(kAnaActions, ""), TableReject::kUnsigned);
  // Topics outside the table's list.
  for (const char* bad :
       {"qh/v1/k3j9x2ab", "qh/v1/k3j9x2ab/otro", "qh/v1/k3j9x2ab/jugadores/ana",
        "qh/v1/k3j9x2ab/jugadores//acciones", "qh/v1/k3j9x2ab/jugadores/a/b/acciones",
        "qh/v1/k3j9x2ab/estado/x", "qh/v1/k3j9x2ab/jugadores/Ana/acciones",
        "qh/v1/k3j9x2ab/entrada/respuestas/123"})
    EXPECT_EQ(open_code(bad, bytes), TableReject::kTopic) << bad;
  // The line a refusal leaves on the screen is terminal-safe.
  TableRejection why{};
  why.code = TableReject::kBadSignature;
  why.detail.assign("firma no válida");
  FixedText<256> line;
  table_rejection_line(why, "qh/v1/x/jugadores/\x1b[2J/acciones", line);
  EXPECT_STREQ(line.c_str(),
               "⚠️ Mensaje ignorado en qh/v1/x/jugadores/?[2J/acciones: firma no válida");
}

TEST(TableMessage, ValidSignatureDoesNotExcuseABadEnvelope) {
  const std::string id = "0123456789abcdef0123456789abcdef";
  auto body = [](std::string v, std::string tipo, std::string de, std::string message_id,
                 std::string seq, std::string datos) {
    return "{\"v\":" + v + ",\"tipo\":\"" + tipo + "\",\"de\":\"" + de + "\",\"id\":\"" +
           message_id + "\",\"seq\":" + seq + ",\"datos\":" + datos;
  };
  const std::pair<std::string, TableReject> cases[] = {
      {"{\"v\":1,\"tipo\":", TableReject::kMalformed},
      {"{\"v\":1,\"tipo\":\"voto\"", TableReject::kField},
      {body("2", "voto", "ana", id, "1", "{}"), TableReject::kVersion},
      {body("1", "VOTO", "ana", id, "1", "{}"), TableReject::kField},
      {body("1", "voto", "ana", "xyz", "1", "{}"), TableReject::kField},
      {body("1", "voto", "ana", id, "1.5", "{}"), TableReject::kField},
      {body("1", "voto", "ana", id, "0", "{}"), TableReject::kField},
      {body("1", "voto", "ana", id, "1e300", "{}"), TableReject::kField},
      {body("1", "voto", "ana", id, "1", "[]"), TableReject::kField},
      // An adventurer holding the code signs as another one: the topic decides.
      {body("1", "voto", "anfitrion", id, "1", "{}"), TableReject::kSender},
      {body("1", "voto", "ana", id, "1", "{}"), TableReject::kNone},
  };
  auto opened = [&](const std::string& on, const std::string& text) {
    return open_code(on, qh_test::sign_body(keys.table_key, on, text));
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(opened(kAnaActions, text), expected) << text;
  // Host topics take only the host.
  std::string state = table_topic(kTable, TableChannel::kState);
  EXPECT_EQ(opened(state, body("1", "estado", "ana", id, "1", "{}")), TableReject::kSender);
}

TEST(TableMessage, GuardRecognisesDuplicatesAndRefusesReplays) {
  auto guard = std::make_unique<TableReplayGuard>();
  TableSigner signer;
  table_signer_init(signer, keys.table_key, "ana", 0);
  TableMessage first, second;
  for (TableMessage* m : {&first, &second}) {
    std::string bytes;
    ASSERT_TRUE(table_message_seal(signer, kAnaActions, TableChannel::kActions, "decir",
                                   "{\"texto\":\"x\"}", 0, bytes));
    ASSERT_TRUE(table_message_open(kTable, keys.signing, kAnaActions, bytes, *m, nullptr));
  }
  TableRejection why{};
  EXPECT_TRUE(table_guard_accept(*guard, first, &why));
  EXPECT_TRUE(table_guard_accept(*guard, second, &why));
  EXPECT_FALSE(table_guard_accept(*guard, second, &why));  // QoS 1 delivered it twice
  EXPECT_EQ(why.code, TableReject::kDuplicate);
  EXPECT_FALSE(table_guard_accept(*guard, first, &why));
  EXPECT_EQ(why.code, TableReject::kDuplicate);
  // Sequences are per channel: presence numbers apart from actions.
  TableMessage presence = first;
  presence.topic.channel = TableChannel::kPresence;
  EXPECT_TRUE(table_guard_accept(*guard, presence, &why));
  // A full guard forgets the pair seen least recently, never the newest.
  for (int i = 0; i < TABLE_GUARD_SENDERS + 1; ++i) {
    TableMessage other = first;
    other.sender.assign("p" + std::to_string(i));
    EXPECT_TRUE(table_guard_accept(*guard, other, &why));
  }
  EXPECT_EQ(guard->entry_count, TABLE_GUARD_SENDERS);
  TableMessage newest = first;
  newest.sender.assign("p" + std::to_string(TABLE_GUARD_SENDERS));
  EXPECT_FALSE(table_guard_accept(*guard, newest, &why));
  table_guard_forget(*guard, newest.sender.view());
  EXPECT_TRUE(table_guard_accept(*guard, newest, &why));

  // Two adventurers at the lobby, the later starter first through: both are
  // heard; only a redelivery is dropped.
  TableMessage early = first, late = second;
  early.topic.channel = late.topic.channel = TableChannel::kJoinRequest;
  early.sender.assign(TABLE_SENDER_LOBBY);
  late.sender.assign(TABLE_SENDER_LOBBY);
  EXPECT_TRUE(table_guard_accept(*guard, late, &why));
  EXPECT_TRUE(table_guard_accept(*guard, early, &why));
  EXPECT_FALSE(table_guard_accept(*guard, early, &why));
  EXPECT_EQ(why.code, TableReject::kDuplicate);
}
