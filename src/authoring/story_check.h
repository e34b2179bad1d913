// The author's story checker: everything the forgiving parser lets through
// silently, reported with the line it comes from.
#pragma once

#include <string>
#include <vector>

#include "story/story.h"
#include "story/story_diagnostics.h"

struct CheckFinding {
  int line;             // 1-based line in the file; 0 when the finding has no line
  std::string code;     // stable identifier for editors, e.g. "destino-inexistente"
  std::string message;  // Spanish, one line
  StorySeverity severity;
};

struct CheckReport {
  std::string file;
  bool readable;
  std::vector<CheckFinding> findings;
};

// Checks one story text: the parser's own reports plus the cross-checks over
// the parsed story. `story` is scratch space (large: allocate it once);
// `story_dir` is the folder the story lives in, used to look up music themes.
// Notes are left out unless asked for.
void check_story_text(const std::string& text, const std::string& default_title,
                      const std::string& story_dir, Story& story, CheckReport& report,
                      bool with_notes = false);
// Reads and checks one file; report.readable is false when it cannot be read.
void check_story_file(const std::string& path, Story& story, CheckReport& report,
                      bool with_notes = false);

// True when the report holds an error or a warning (notes do not count).
bool check_has_problems(const CheckReport& report);

// One line per finding: "<file>:<line>: <message> [<code>]".
std::string check_format_text(const CheckReport& report);
// All reports as one JSON document.
std::string check_format_json(const std::vector<CheckReport>& reports);

// The help of the check command, ending with every code, its severity, what
// it means and how to fix it.
std::string check_help_text();
