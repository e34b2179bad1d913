#include "table/table_topic.h"

#include "common/slug.h"
#include "common/text_util.h"

namespace {

struct ChannelPath {
  TableChannel channel;
  const char* path;  // after the root; '*' stands for the level that holds `part`
};

constexpr ChannelPath kPaths[TABLE_CHANNEL_COUNT] = {
    {TableChannel::kState, "estado"},
    {TableChannel::kEvents, "eventos"},
    {TableChannel::kHostPresence, "anfitrion/presencia"},
    {TableChannel::kActions, "jugadores/*/acciones"},
    {TableChannel::kPresence, "jugadores/*/presencia"},
    {TableChannel::kJoinRequest, "entrada/solicitudes"},
    {TableChannel::kJoinAnswer, "entrada/respuestas/*"},
};

bool is_id_char(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; }

bool is_nonce(std::string_view text) {
  if (text.size() != TABLE_NONCE_LENGTH) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// Matches `rest` against a path with at most one '*' level; the level found there goes to `part`.
bool match_path(std::string_view path, std::string_view rest, std::string_view& part) {
  std::size_t star = path.find('*');
  if (star == std::string_view::npos) return path == rest;
  std::string_view head = path.substr(0, star);
  std::string_view tail = path.substr(star + 1);
  if (rest.size() <= head.size() + tail.size()) return false;
  if (!starts_with(rest, head) || !rest.ends_with(tail)) return false;
  part = rest.substr(head.size(), rest.size() - head.size() - tail.size());
  return part.find('/') == std::string_view::npos;
}

}  // namespace

std::string table_topic_root(std::string_view table_id) {
  std::string out(TABLE_TOPIC_PREFIX);
  out += table_id;
  return out;
}

std::string table_topic(std::string_view table_id, TableChannel channel, std::string_view part) {
  std::string out = table_topic_root(table_id);
  out += '/';
  for (const ChannelPath& p : kPaths) {
    if (p.channel != channel) continue;
    for (const char* c = p.path; *c != '\0'; ++c) {
      if (*c == '*') {
        out += part;
      } else {
        out += *c;
      }
    }
  }
  return out;
}

bool table_topic_parse(std::string_view table_id, std::string_view topic, TableTopic& out) {
  out = TableTopic{};
  std::string root = table_topic_root(table_id);
  if (!starts_with(topic, root) || topic.size() <= root.size() || topic[root.size()] != '/')
    return false;
  std::string_view rest = topic.substr(root.size() + 1);
  for (const ChannelPath& p : kPaths) {
    std::string_view part;
    if (!match_path(p.path, rest, part)) continue;
    if (p.channel == TableChannel::kJoinAnswer ? !is_nonce(part)
                                               : !part.empty() && !table_player_id_valid(part)) {
      return false;
    }
    out.channel = p.channel;
    out.part.assign(part);
    return true;
  }
  return false;
}

std::string_view table_topic_sender(const TableTopic& topic) {
  switch (topic.channel) {
    case TableChannel::kActions:
    case TableChannel::kPresence:
      return topic.part.view();
    case TableChannel::kJoinRequest:
      return TABLE_SENDER_LOBBY;
    default:
      return TABLE_SENDER_HOST;
  }
}

std::size_t table_topic_limit(TableChannel channel) {
  switch (channel) {
    case TableChannel::kState:
    case TableChannel::kEvents:
      return TABLE_MAX_HOST_MESSAGE;
    case TableChannel::kActions:
      return TABLE_MAX_ACTION_MESSAGE;
    default:
      return TABLE_MAX_SMALL_MESSAGE;
  }
}

bool table_player_id(std::string_view name, TablePlayerId& out) {
  out.clear();
  std::string copy(name.substr(0, 256));
  SlugText slug;
  make_name_slug(copy.c_str(), "", slug);
  std::string_view id = slug.view().substr(0, TABLE_PLAYER_ID_MAX);
  if (!table_player_id_valid(id)) return false;
  out.assign(id);
  return true;
}

bool table_player_id_valid(std::string_view id) {
  if (id.empty() || id.size() > TABLE_PLAYER_ID_MAX) return false;
  bool named = false;  // at least one letter or digit: "__" names nobody
  for (char c : id) {
    if (!is_id_char(c)) return false;
    named = named || c != '_';
  }
  if (!named) return false;
  return id != TABLE_SENDER_HOST && id != TABLE_SENDER_LOBBY && id != "director";
}
