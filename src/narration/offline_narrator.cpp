#include "narration/offline_narrator.h"

#include <cstdio>
#include <cstdlib>

#include "common/fixed_text.h"

const std::array<const char*, 3> CRIT_SUCCESS_FLAVOR = {
    "Con una destreza impecable y un golpe de pura fortuna, ejecutas la maniobra sin el menor "
    "titubeo.",
    "Tus movimientos son rápidos y certeros como el filo de una espada recién afilada. El "
    "resultado es extraordinario.",
    "Una sincronización asombrosa te permite superar el obstáculo con una elegancia que desafía "
    "el peligro.",
};

const std::array<const char*, 3> SUCCESS_FLAVOR = {
    "Mantienes la calma bajo presión y logras tu cometido exactamente como lo habías previsto.",
    "Con pulso firme y concentración absoluta, superas el desafío sin mayores complicaciones.",
    "Tu experiencia y determinación rinden frutos; el obstáculo cede ante tu acción.",
};

const std::array<const char*, 3> COST_FLAVOR = {
    "Consigues salir adelante, pero no sin pagar un precio amargo en esfuerzo y dolor.",
    "El éxito llega acompañado de un tropiezo imprevisto; logras tu cometido, pero el impacto "
    "deja su marca.",
    "A duras penas alcanzas tu objetivo, sintiendo cómo el cansancio y el roce del peligro te "
    "pasan factura.",
};

const std::array<const char*, 3> CRIT_FAILURE_FLAVOR = {
    "Una catástrofe imprevista desata el peor escenario posible. Todo lo que podía salir mal, "
    "sale mal.",
    "Un paso en falso te deja totalmente desprotegido ante una consecuencia devastadora.",
    "El infortunio absoluto te golpea de lleno, convirtiendo tu intento en un amargo revés.",
};

const std::array<const char*, 3> FAILURE_FLAVOR = {
    "Un instante de vacilación o un cálculo errado frustran tus intenciones. La situación se "
    "vuelve en tu contra.",
    "Tus esfuerzos resultan insuficientes frente a la adversidad. Las consecuencias no tardan en "
    "manifestarse.",
    "El destino te juega una mala pasada en el momento más crítico; no consigues lo que "
    "buscabas.",
};

namespace {

constexpr std::size_t kLoreBlockCapacity = 1024;  // the lore block is cut at 1023 bytes

const std::array<const char*, 3>& flavor_table(std::int32_t outcome) {
  switch (outcome) {
    case OUTCOME_CRIT_SUCCESS:
      return CRIT_SUCCESS_FLAVOR;
    case OUTCOME_SUCCESS:
      return SUCCESS_FLAVOR;
    case OUTCOME_COST:
      return COST_FLAVOR;
    case OUTCOME_CRIT_FAILURE:
      return CRIT_FAILURE_FLAVOR;
    default:  // a failure, and any value outside the known tiers
      return FAILURE_FLAVOR;
  }
}

}  // namespace

void offline_narrator_describe_action(const char* action, const RollResult* roll,
                                      const char* result, const LoreHit* lore, GameRandom* random,
                                      char* out, std::size_t capacity) {
  if (out == nullptr || capacity == 0) return;
  out[0] = '\0';

  if (roll != nullptr && roll->outcome != OUTCOME_NONE) {
    // The generator the dice draw from, so a run stays reproducible.
    std::int32_t pick = random != nullptr ? rules_random_below(*random, 3) : 0;
    const char* sentence = flavor_table(roll->outcome)[static_cast<std::size_t>(pick)];
    text_copy(out, capacity, sentence);
    text_append(out, capacity, " ");
    if (result != nullptr) text_append(out, capacity, result);
  } else if (result != nullptr) {
    text_copy(out, capacity, result);
  } else if (action != nullptr) {
    text_copy(out, capacity, action);
  }

  if (lore != nullptr && !lore->title.empty()) {
    // The block is built on its own, so it is cut at its own capacity first.
    char block[kLoreBlockCapacity];
    text_copy(block, sizeof(block), "\n\n[📖 Detalle descubierto: ");
    text_append(block, sizeof(block), lore->title.view());
    text_append(block, sizeof(block), "]\n\"");
    text_append(block, sizeof(block), lore->text.view());
    text_append(block, sizeof(block), "\"");
    text_append(out, capacity, block);
  }
}

void offline_narrator_describe_scene(const StorySection* section, const Character* hero, char* out,
                                     std::size_t capacity) {
  if (section == nullptr || out == nullptr || capacity == 0) return;
  out[0] = '\0';

  if (section->is_ending) {
    const char* banner = "📜 EPÍLOGO 📜\n\n";
    if (section->ending_type == "victory") {
      banner = "🏆 ¡HAS ALCANZADO LA GLORIA! 🏆\n\n";
    } else if (section->ending_type == "defeat") {
      banner = "💀 TU AVENTURA LLEGA A SU FIN 💀\n\n";
    }
    text_append(out, capacity, banner);
  }
  text_append(out, capacity, section->text.view());
  // The same band of 1 to 3 hit points in which the hero is badly wounded.
  if (hero != nullptr && hero->hp >= 1 && hero->hp <= 3) {
    text_append(
        out, capacity,
        "\n\n⚠️ Apenas te mantienes en pie; la sangre y el agotamiento nublan tu vista.");
  }
}
