// The status panel, the scene and the option list shown every turn.
#pragma once

#include "character/character.h"
#include "narration/llm_narrator.h"
#include "story/story.h"

void ui_print_hud(const Character* hero, bool classic_mode, const TokenCounters* counters,
                  bool show_token_usage);
void ui_print_scene(const StorySection* section);
void ui_print_options(const StorySection* section, const Character* hero);
