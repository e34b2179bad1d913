// The creator workshop: story wizard, vault notice, gallery, chiptune tester, guides.
#pragma once

#include "config/config.h"
#include "platform/audio.h"

void workshop_open_menu(const char* base_dir, const AppConfig& config, AudioState* audio);
void show_guide_file(const char* base_dir, const char* file_name, const char* title);
