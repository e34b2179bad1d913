#include "common/slug.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

// What `make` writes for `source`, with `fallback` for a source without letters.
template <auto make>
std::string slug(const char* source, const char* fallback = "adventure") {
  SlugText out;
  make(source, fallback, out);
  return std::string(out.view());
}

}  // namespace

TEST(Slug, NamesSpellAccentedLettersPlainly) {
  const std::string z127(127, 'Z'), a123(123, 'a'), sharp = a123 + "ß";
  const std::pair<const char*, std::string> cases[] = {
      {"La Estación Ñandú", "la_estacion_nandu"},
      {"Épica Ñ", "epica_n"},
      {"Cámara 2 a  b--c__d", "camara_2_a__b__c__d"},
      {"Straße, Æon y Œuvre ĳ Ž", "strasse_aeon_y_oeuvre_ij_z"},
      {"ÀÁÂÃÄÅÇÈÉÊËÌÍÎÏÐÑÒÓÔÕÖØÙÚÛÜÝÞàüÿ", "aaaaaaceeeeiiiidnoooooouuuuythauy"},
      // No letters: signs, other scripts, a lone or broken lead byte.
      {"¡¿!? × ÷", "__"},
      {"Ωμέγα 東京 \xc3 \xc3(", "___"},
      {"¡¿!?", "nueva_historia"},
      {"", "nueva_historia"},
      {nullptr, "nueva_historia"},
      {z127.c_str(), std::string(124, 'z')},
      // A two-letter spelling is cut at the limit like any byte.
      {sharp.c_str(), a123 + "s"},
  };
  for (const auto& [source, expected] : cases) {
    EXPECT_EQ(slug<make_name_slug>(source, "nueva_historia"), expected)
        << (source ? source : "(null)");
  }
}

// Saves are named by these keys: the plain names every bundled story has keep the key they always
// had, so their saves keep resuming; any other path gets a key of its own, pinned here since a
// change would orphan its saves.
TEST(Slug, SaveKeysKeepPlainNamesAndNeverCollide) {
  const std::string long_name(200, 'n');
  const std::pair<std::string, std::string> pinned[] = {
      {"stories/la_cripta_del_rey_ceniza.md", "storiesla_cripta_del_rey_cenizamd"},
      {"stories/intrusion_en_neon.md", "storiesintrusion_en_neonmd"},
      {"../Quillhaven-Lantern/stories/valle_2.md", "quillhaven_lanternstoriesvalle_2md"},
      {"stories/la-cripta-del-rey-ceniza.md", "storiesla_cripta_del_rey_cenizamd_d24dcb1902491deb"},
      {"stories/Épica.md", "storiesepicamd_4a824436679503e7"},
      {"", "adventure"},
  };
  for (const auto& [path, key] : pinned) EXPECT_EQ(slug<make_slug>(path.c_str()), key) << path;
  EXPECT_EQ(slug<make_slug>(nullptr), "adventure");

  // Paths the legacy key merged: each pair shares it, and gets two keys now.
  const std::pair<std::string, std::string> pairs[] = {
      {"stories/la_cripta_del_rey_ceniza.md", "stories/la-cripta-del-rey-ceniza.md"},
      {"stories/Épica.md", "stories/pica.md"},
      {"stories/viaje.md", "stories/Viaje.md"},
      {"stories/ab.md", "stories/a.b.md"},
      {"stories/" + long_name + "1.md", "stories/" + long_name + "2.md"},
  };
  std::set<std::string> keys;
  for (const auto& [a, b] : pairs) {
    EXPECT_EQ(slug<make_legacy_slug>(a.c_str()), slug<make_legacy_slug>(b.c_str())) << a;
    keys.insert(slug<make_slug>(a.c_str()));
    keys.insert(slug<make_slug>(b.c_str()));
  }
  EXPECT_EQ(keys.size(), 2 * std::size(pairs));
  for (const std::string& key : keys) EXPECT_LE(key.size(), SLUG_MAX_LENGTH) << key;
  EXPECT_EQ(slug<make_slug>(("stories/" + long_name + "1.md").c_str()).size(), SLUG_MAX_LENGTH);

  // The legacy rule, as saves written before were named.
  EXPECT_EQ(slug<make_legacy_slug>("stories/La Cripta-2.md"), "storiesla_cripta_2md");
  EXPECT_EQ(slug<make_legacy_slug>("Ñandú Épico_v2"), "and_pico_v2");
  EXPECT_EQ(slug<make_legacy_slug>("///.."), "adventure");
  EXPECT_EQ(slug<make_legacy_slug>(long_name.c_str()), std::string(124, 'n'));
}
