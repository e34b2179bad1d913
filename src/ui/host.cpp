#include "ui/host.h"

bool host_path(const Host& host, std::string_view relative, PathText& out) {
  return path_join(host.root.view(), relative, out);
}
