// The world one program (or one shared table) works in: its terminal, its
// root folder and its music. Built once by main() and lent by reference to
// every flow, so nothing reaches for standard streams, the working directory
// or a global, and several hosts can run side by side in one process.
#pragma once

#include <cstdint>
#include <string_view>
#include <type_traits>

#include "platform/audio.h"
#include "platform/paths.h"
#include "ui/text_output.h"

struct Host {
  UiContext ui;       // where lines come from and screens go
  PathText root;      // the game's root folder: config, saves/, stories/, assets/
  AudioState* audio;  // the music; null for a host without any (tools, tables, tests)
  // Every adventure rolls from this seed when it is fixed (for tests, bug
  // reports and demonstrations); otherwise each draws one from the system.
  bool seed_fixed;
  std::uint32_t seed;
};
static_assert(std::is_trivially_copyable_v<Host>);

// A path below the host's root (see path_join).
bool host_path(const Host& host, std::string_view relative, PathText& out);
// The seed of the next adventure: the fixed one, or fresh entropy.
std::uint32_t host_adventure_seed(const Host& host);
// Reads a seed as the environment gives it: decimal digits only, at most
// 4294967295. False (and `seed` untouched) for anything else.
bool host_parse_seed(const char* text, std::uint32_t& seed);
