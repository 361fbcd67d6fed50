// Reading one line of a data file with an upper bound on its length.
#include "util/text_lines.hpp"

#include <istream>

namespace zalmor::util {

LineRead read_line_bounded(std::istream& in, std::string& line, std::size_t limit) {
  line.clear();
  std::streambuf* buf = in.rdbuf();
  if (buf == nullptr || !in.good()) return LineRead::End;
  bool any = false;
  for (;;) {
    const auto c = buf->sbumpc();
    if (c == std::char_traits<char>::eof()) {
      in.setstate(std::ios::eofbit);
      if (!any) return LineRead::End;
      break;
    }
    any = true;
    if (c == '\n') break;
    // A file that never ends its line (a device, a binary file) must not fill the memory.
    if (line.size() >= limit) return LineRead::TooLong;
    line.push_back(static_cast<char>(c));
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return LineRead::Ok;
}

}  // namespace zalmor::util
