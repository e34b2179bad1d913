// The workshop's screens, shared by the menu and its tests. Every screen ends
// with the Enter pause; each returns false when the input has ended, so the
// menu can return instead of prompting again.
#pragma once

#include "config/config.h"
#include "ui/host.h"

// Code-hosting site shown in front of the vault repository.
inline constexpr const char* WORKSHOP_VAULT_DOMAIN = "github.com";
// The file name of a story whose title gives no slug at all.
inline constexpr const char* WORKSHOP_SLUG_FALLBACK = "nueva_historia";

bool workshop_run_story_wizard(Host& host);
bool workshop_show_vault(UiContext& ui, const AppConfig& config);
bool workshop_show_gallery(UiContext& ui);
bool workshop_run_chiptune_tester(Host& host);
// The menu's text, from its first rule to its prompt.
void workshop_print_menu(UiContext& ui);
