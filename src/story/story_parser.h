// Turns a Markdown story into a Story record in one forward pass.
#pragma once

#include <cstddef>
#include <string_view>

#include "story/story.h"
#include "story/story_diagnostics.h"

// Largest story file that is read; anything bigger is a story that cannot be read.
inline constexpr std::size_t STORY_MAX_FILE_BYTES = 16u * 1024u * 1024u;

// Reads a regular file (at most STORY_MAX_FILE_BYTES) and parses it with the
// file's base name, without extension, as default title. False, with the
// story untouched, when the file cannot be read or is empty.
bool story_parser_load_file(Story& story, const char* path,
                            const StoryDiagnosticSink* sink = nullptr);

// Parses NUL-terminated `text`. Returns false without touching the story when
// the text is null; otherwise fills the story and returns section_count > 0.
// A sink hears every decision a writer would want to know about, with its
// line; the story comes out the same with or without one.
bool story_parser_load_string(Story& story, const char* text, const char* default_title,
                              const StoryDiagnosticSink* sink = nullptr);

// The default title of a story file: its base name (after the last "/" or
// "\"), cut to 127 bytes, then cut at its last full stop.
void story_parser_default_title(const char* path, char (&out)[128]);

// The title the front matter of NUL-terminated `text` gives, read without
// parsing the rest: empty when it has no title (or an empty one). False, with
// an empty title, when the text has no front matter with its closing line,
// which may also mean that `text` is only the head of a story whose front
// matter goes on past it.
bool story_parser_read_title(const char* text, decltype(Story::title)& title);

// The first section whose id equals `id` byte for byte, or nullptr.
const StorySection* story_get_section(const Story& story, std::string_view id);
