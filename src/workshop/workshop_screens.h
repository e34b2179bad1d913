// The workshop's screens, shared by the menu and its tests. Every screen ends
// with the Enter pause; each returns false when standard input has ended, so
// the menu can return instead of prompting again.
#pragma once

#include <cstddef>

#include "config/config.h"
#include "platform/audio.h"

// Code-hosting site shown in front of the vault repository.
inline constexpr const char* WORKSHOP_VAULT_DOMAIN = "github.com";
// A story file name is derived from at most this many characters.
inline constexpr std::size_t WORKSHOP_SLUG_MAX = 124;

// The file-name slug of a story title: ASCII letters (lower-cased) and digits
// kept, space, '-' and '_' as '_', everything else dropped; "nueva_historia"
// when nothing is left. `out` needs WORKSHOP_SLUG_MAX + 1 bytes.
void workshop_story_slug(const char* title, char* out, std::size_t capacity);

bool workshop_run_story_wizard(const char* base_dir);
bool workshop_show_vault(const AppConfig& config);
bool workshop_show_gallery();
bool workshop_run_chiptune_tester(AudioState* audio);
bool workshop_show_guide(const char* base_dir, const char* file_name, const char* title);
