// Expected screens and fixtures kept as files under tests/data, written with
// `\e` for ESC and {NAME} for a text the test supplies.
#pragma once

#include <map>
#include <sstream>
#include <string>

#include "support/test_support.h"

namespace qh_test {

using Fields = std::map<std::string, std::string>;

inline int count_of(const std::string& text, const std::string& needle) {
  int n = 0;
  for (std::size_t at = 0; (at = text.find(needle, at)) != std::string::npos; ++at) ++n;
  return n;
}

// `text` with each `\e` made ESC and each {NAME} replaced by its field (inserted texts are
// not searched again).
inline std::string filled(std::string text, const Fields& fields) {
  Fields all{{"\\e", "\x1b"}};
  for (const auto& [key, value] : fields) all["{" + key + "}"] = value;
  for (const auto& [mark, value] : all)
    for (std::size_t at = 0; (at = text.find(mark, at)) != std::string::npos; at += value.size())
      text.replace(at, mark.size(), value);
  return text;
}

// A file of tests/data/<folder>, filled.
inline std::string from_data(const std::string& folder, const std::string& name,
                             const Fields& fields = {}) {
  return filled(read_file(QH_TEST_DATA_DIR "/" + folder + "/" + name), fields);
}

// Each line of the file, filled and with `\n` for a line end, must appear in `out` after the
// one before it; a line that starts with "!" must appear nowhere.
inline ::testing::AssertionResult shows(const std::string& out, const std::string& folder,
                                        const std::string& name, const Fields& fields = {}) {
  std::istringstream list(read_file(QH_TEST_DATA_DIR "/" + folder + "/" + name));
  std::size_t at = 0;
  for (std::string line; std::getline(list, line);) {
    for (std::size_t nl = 0; (nl = line.find("\\n", nl)) != std::string::npos; ++nl)
      line.replace(nl, 2, "\n");
    const bool absent = line.starts_with('!');
    const std::string fragment = filled(absent ? line.substr(1) : line, fields);
    const std::size_t found = out.find(fragment, absent ? 0 : at);
    if (absent != (found == std::string::npos))
      return ::testing::AssertionFailure()
             << name << (absent ? ": shows " : ": lacks, in order, ") << fragment << "\n"
             << out;
    if (!absent) at = found + fragment.size();
  }
  return ::testing::AssertionSuccess();
}

}  // namespace qh_test
