#pragma once

#include <fstream>
#include <iterator>
#include <regex>
#include <string>

namespace mirx::e2e {

// Whether the line a program printed is quoted in the document `name` (a
// path under the source tree): a number there may stand for any number or be
// written as a capital letter (N, X), a quoted text for any quoted text.
inline bool documented(const std::string& printed, const std::string& name) {
  std::ifstream in(std::string(MIRX_SOURCE_DIR) + "/" + name, std::ios::binary);
  const std::string doc(std::istreambuf_iterator<char>(in), {});
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])"), number(R"(\d+(\\\.\d+)?)"),
      quoted(R"("[^"]*")");
  std::string pattern = std::regex_replace(printed, special, "\\$&");
  pattern = std::regex_replace(pattern, number, R"((\d+(\.\d+)?|[A-Z]))");
  pattern = std::regex_replace(pattern, quoted, R"("[^"]*")");
  return !doc.empty() && std::regex_search(doc, std::regex(pattern));
}

}  // namespace mirx::e2e
