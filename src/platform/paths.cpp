#include "platform/paths.h"

bool path_join(std::string_view root, std::string_view relative, PathText& out) {
  out.clear();
  if (root.empty()) root = ".";
  if (root.size() + 1 + relative.size() > PathText::max_length()) return false;
  out.assign(root);
  out.append('/');
  out.append(relative);
  return true;
}
