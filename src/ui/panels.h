// The status panel, the scene and the option list shown every turn.
#pragma once

#include <string_view>

#include "character/character.h"
#include "narration/llm_narrator.h"
#include "story/story.h"
#include "ui/text_output.h"

void ui_print_hud(UiContext& ui, const Character* hero, bool classic_mode,
                  const TokenCounters* counters, bool show_token_usage);
void ui_print_scene(UiContext& ui, const StorySection* section);
void ui_print_options(UiContext& ui, const StorySection* section, const Character* hero);
// One passage of a /lore answer: "[title]: " and the passage, word-wrapped on a terminal.
void ui_print_lore_passage(UiContext& ui, std::string_view title, std::string_view text);
