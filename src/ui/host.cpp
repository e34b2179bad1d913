#include "ui/host.h"

#include "platform/platform.h"

bool host_path(const Host& host, std::string_view relative, PathText& out) {
  return path_join(host.root.view(), relative, out);
}

std::uint32_t host_adventure_seed(const Host& host) {
  return host.seed_fixed ? host.seed : platform_entropy_seed();
}

bool host_parse_seed(const char* text, std::uint32_t& seed) {
  if (text == nullptr || text[0] == '\0') return false;
  std::uint64_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(*p - '0');
    if (value > UINT32_MAX) return false;
  }
  seed = static_cast<std::uint32_t>(value);
  return true;
}
