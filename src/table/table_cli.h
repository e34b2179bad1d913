// The command line of quillhaven-mesa: broker, host and join.
#pragma once

#include <cstdio>
#include <string>

// Runs one command with the game's root folder `root` (config.json and mesa/
// live there); the host's console and the adventurer's lines are read from
// `in` (null: none). Returns the exit status: 0 done, 1 failed, 2 wrong usage.
int table_cli_run(int argc, const char* const argv[], const std::string& root, std::FILE* in,
                  std::FILE* out, std::FILE* err);
