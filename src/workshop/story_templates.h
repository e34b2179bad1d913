// The stories the wizard starts an author with: one complete, playable
// template per genre.
#pragma once

inline constexpr int WORKSHOP_GENRE_COUNT = 4;

struct WorkshopGenre {
  const char* name;           // as the wizard lists it
  const char* default_title;  // the title when the author leaves it empty
  const char* body;           // everything after the title and author lines
};

// In the order the wizard lists them, from 1.
extern const WorkshopGenre WORKSHOP_GENRES[WORKSHOP_GENRE_COUNT];
