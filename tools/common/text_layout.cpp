#include "text_layout.h"

#include <algorithm>

namespace quorvane::tools {

namespace {
bool continuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}
}  // namespace

std::size_t columnsOf(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return !continuationByte(c); }));
}

std::size_t offsetOfColumn(std::string_view text, std::size_t n) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (continuationByte(text[i])) continue;
    if (seen++ == n) return i;
  }
  return text.size();
}

std::string wrapText(const std::string& first, std::string_view text, std::size_t indent,
                     std::size_t width) {
  const std::size_t firstColumns = columnsOf(first);
  std::size_t pad = 0;
  if (indent > firstColumns)
    pad = first.empty() ? 0 : indent - firstColumns;
  else if (!first.empty() && first.back() != ' ')
    pad = 1;
  std::string out = first + std::string(pad, ' ');
  std::size_t column = firstColumns + pad;
  bool lineEmpty = true;
  for (std::size_t from = 0; from < text.size();) {
    const std::size_t end = std::min(text.find_first_of(" \n", from), text.size());
    const std::string_view word = text.substr(from, end - from);
    from = end + 1;
    if (word.empty()) continue;
    if (!lineEmpty && column + 1 + columnsOf(word) > width) {
      out.append(1, '\n').append(indent, ' ');
      column = indent;
      lineEmpty = true;
    }
    if (!lineEmpty) out.append(1, ' ');
    out.append(word);
    column += (lineEmpty ? 0 : 1) + columnsOf(word);
    lineEmpty = false;
  }
  return out + "\n";
}

}  // namespace quorvane::tools
