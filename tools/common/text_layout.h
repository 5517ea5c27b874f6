// Laying text out in terminal columns: UTF-8 counted by characters, and
// paragraphs wrapped at spaces.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvane::tools {

// The columns `text` takes: its characters, not its bytes.
std::size_t columnsOf(std::string_view text);

// The byte offset of character `n` (the size when there are fewer).
std::size_t offsetOfColumn(std::string_view text, std::size_t n);

// `text` wrapped at spaces (a line end in it counts as one) into lines of at
// most `width` columns: the first begins with `first` (a term padded to
// `indent` columns, one space past a longer one; none after an empty one or
// one that ends in a space), the others with `indent` spaces. A word longer
// than a line stands alone. Ends with a line end.
std::string wrapText(const std::string& first, std::string_view text, std::size_t indent,
                     std::size_t width);

}  // namespace quorvane::tools
