// Joins text pieces into one string in a single allocation.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

inline std::string join(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (std::string_view p : parts) size += p.size();
  std::string out;
  out.reserve(size);
  for (std::string_view p : parts) out.append(p);
  return out;
}
