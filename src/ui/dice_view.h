// The dice animation and the framed narration panel.
#pragma once

#include <array>

#include "narration/llm_narrator.h"
#include "rules/dice.h"
#include "ui/text_output.h"

// Three rows per face, face 1 first.
extern const std::array<const char*, 18> DICE_FACES;

// The rolling frames draw their faces from `random`, the generator the dice
// came from (none: the frames show the settled dice).
void ui_animate_dice_roll(UiContext& ui, const RollResult* roll, const char* label,
                          GameRandom* random);
// The framed narration. The header names who wrote the text: "(Modo Clásico)"
// when the offline narrator did (offline mode, or the model could not answer),
// the model otherwise; only the model's text is followed by its token use.
void ui_print_dm_narration(UiContext& ui, const char* text, bool offline_narrator,
                           const TokenCounters* counters);
