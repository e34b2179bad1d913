// Where the game keeps its files, each relative to the game's root folder (the
// folder it is started in, for the game itself). Every folder and file name
// the programs use is spelled here and nowhere else.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/fixed_text.h"

inline constexpr std::size_t PATH_BYTES = 512;  // any path the game builds: 511 bytes
using PathText = FixedText<PATH_BYTES>;

inline constexpr const char* PATH_CONFIG = "config.json";
// Read when config.json is missing or empty; ships with story packs.
inline constexpr const char* PATH_CONFIG_EXAMPLE = "config.json.example";
// Where an unusable config.json is kept before the settings are saved over it.
inline constexpr const char* PATH_CONFIG_BACKUP = "config.json.bak";
// config.json's name less its extension: the stem of its temporary files.
inline constexpr const char* PATH_CONFIG_STEM = "config";
inline constexpr const char* PATH_SAVES_DIR = "saves";
inline constexpr const char* PATH_STORIES_DIR = "stories";
// Listed when stories/ holds no story; the companion project's folder.
inline constexpr const char* PATH_FALLBACK_STORIES_DIR = "../Quillhaven-Lantern/stories";
// Guides are looked for here when the root has none.
inline constexpr const char* PATH_FALLBACK_GUIDES_DIR = "../Quillhaven-Lantern";
inline constexpr const char* PATH_AUDIO_DIR = "assets/audio";
// The shared table's files: its own broker, the tables hosted here (one folder
// each) and the credentials of the tables joined as an adventurer.
inline constexpr const char* PATH_TABLE_BROKER_DIR = "mesa/broker";
inline constexpr const char* PATH_TABLE_ROOMS_DIR = "mesa/salas";
inline constexpr const char* PATH_TABLE_JOINED_DIR = "mesa/unido";
inline constexpr const char* PATH_STORY_GUIDE = "GUIA_CREACION_HISTORIAS.md";
inline constexpr const char* PATH_MUSIC_GUIDE = "GUIA_COMPOSICION_MUSICAL.md";

// "<root>/<relative>" into `out`. False (and `out` unusable) when it does not
// fit: a cut path could name another file. An empty root means ".".
bool path_join(std::string_view root, std::string_view relative, PathText& out);
