// The creator workshop: story wizard, vault notice, gallery, chiptune tester, guides.
#pragma once

#include "config/config.h"
#include "ui/host.h"

// The workshop's menu, until the player goes back or the input ends. The
// wizard writes below the host's root; the chiptune tester plays on its audio.
void workshop_open_menu(Host& host, const AppConfig& config);
// Shows a guide of the host's root (else of the companion folder) a page at a
// time. False when the input ended.
bool show_guide_file(Host& host, const char* file_name, const char* title);
