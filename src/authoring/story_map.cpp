#include "authoring/story_map.h"

#include <map>
#include <string_view>

#include "authoring/text_join.h"
#include "common/fixed_list.h"
#include "rules/option_rules.h"

namespace {

std::string dot_quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out.push_back('\\');
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out.push_back(c);
  }
  return out + "\"";
}

// Node names are positions, so duplicate or odd ids never clash in DOT.
std::string node(int index) { return join({"s", std::to_string(index)}); }

const char* ending_shape(const StorySection& s) {
  std::string_view type = s.ending_type.view();
  if (type == "victory") return "shape=doubleoctagon, style=filled, fillcolor=\"#c8f7c5\"";
  if (type == "defeat") return "shape=octagon, style=filled, fillcolor=\"#f7c5c5\"";
  return "shape=doublecircle, style=filled, fillcolor=\"#e0e0e0\"";
}

}  // namespace

std::string story_map_dot(const Story& story) {
  std::map<std::string, int> index;
  for (int s = 0; s < story.section_count; ++s) index.emplace(story.sections[s].id.c_str(), s);

  std::string out = "digraph historia {\n";
  out += "  graph [label=" + dot_quote(story.title.view()) + ", labelloc=t, rankdir=LR];\n";
  out += "  node [shape=box, style=rounded, fontname=\"Helvetica\"];\n";
  out += "  edge [fontname=\"Helvetica\", fontsize=10];\n";
  int missing = 0;
  std::map<std::string, std::string> missing_nodes;
  auto target_node = [&](const IdText& id) {
    auto it = index.find(id.c_str());
    if (it != index.end()) return node(it->second);
    auto m = missing_nodes.find(id.c_str());
    if (m != missing_nodes.end()) return m->second;
    std::string name = join({"missing", std::to_string(missing++)});
    missing_nodes[id.c_str()] = name;
    return name;
  };

  for (int s = 0; s < story.section_count; ++s) {
    const StorySection& sec = story.sections[s];
    std::string label = join({"[", sec.id.view(), "] ", sec.title.view()});
    // What arriving costs and gives: the hazard, paid at every showing, and the items found.
    if (sec.damage > 0) label += join({"\n⚠ peligro: -", std::to_string(sec.damage), " PV"});
    for (const NameText& item : list_used(sec.items, sec.item_count)) {
      label += join({"\n🎁 ", item.view()});
    }
    out += "  " + node(s) + " [label=" + dot_quote(label);
    if (sec.is_ending) out += std::string(", ") + ending_shape(sec);
    if (sec.id.view() == story.start.view() && index[sec.id.c_str()] == s) out += ", penwidth=2";
    out += "];\n";
  }
  for (int s = 0; s < story.section_count; ++s) {
    const StorySection& sec = story.sections[s];
    for (int o = 0; o < sec.transition_count; ++o) {
      const StoryTransition& t = sec.transitions[o];
      std::string label;
      switch (rules_option_access(t)) {
        case OptionAccess::kNumbered:
          label = join({"[", std::to_string(rules_option_number(sec, o)), "]"});
          break;
        case OptionAccess::kCommand:
          label = join({">_ ", rules_option_command_or_label(t)});
          break;
        case OptionAccess::kHiddenCommand:
          label = join({">_ ", rules_option_command_or_label(t), " (oculto)"});
          break;
        case OptionAccess::kNone:
          // Hidden with nothing to type: drawn so the author sees it, but nothing reaches it.
          label = "(oculta, inalcanzable)";
          break;
      }
      if (!t.check_stat.empty()) {
        label += join({"\n", t.check_stat.view(), " DC ", std::to_string(t.check_dc)});
      }
      if (!t.required_item.empty()) label += join({"\n🔒 ", t.required_item.view()});
      if (!t.gain_item.empty()) label += join({"\n+ ", t.gain_item.view()});
      out +=
          "  " + node(s) + " -> " + target_node(t.target) + " [label=" + dot_quote(label) + "];\n";
      if (!t.check_stat.empty() && t.check_dc >= 1 && !t.fail_target.empty()) {
        std::string fail = "fallo";
        if (t.fail_damage > 0) fail += join({" (-", std::to_string(t.fail_damage), " PV)"});
        out += "  " + node(s) + " -> " + target_node(t.fail_target) +
               " [style=dashed, color=\"#b03030\", label=" + dot_quote(fail) + "];\n";
      }
    }
  }
  for (const auto& [id, name] : missing_nodes) {
    out += "  " + name + " [label=" + dot_quote("¿" + id + "?") +
           ", shape=box, style=dashed, color=red];\n";
  }
  out += "}\n";
  return out;
}
