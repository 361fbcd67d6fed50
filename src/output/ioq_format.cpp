// The .ioq text layout: field lines, quoting of texts, exact real numbers, data rows.
#include "output/ioq_format.hpp"

#include <charconv>
#include <system_error>

namespace zalmor::output {

std::string_view type_name(FieldType type) {
  switch (type) {
    case FieldType::String:
      return "string";
    case FieldType::Int32:
      return "int32";
    case FieldType::Float32:
      return "float32";
    case FieldType::Float32Array:
      return "float32[]";
  }
  return "?";
}

std::optional<FieldType> parse_type_name(std::string_view name) {
  for (FieldType t :
       {FieldType::String, FieldType::Int32, FieldType::Float32, FieldType::Float32Array}) {
    if (type_name(t) == name) return t;
  }
  return std::nullopt;
}

bool is_valid_key(std::string_view key) {
  if (key.empty()) return false;
  for (const char ch : key) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x21 || c > 0x7e) return false;
  }
  return true;
}

std::string ioq_file_header(std::span<const MetaEntry> metadata) {
  std::string header = std::string(kIoqMagic) + ' ' + std::to_string(kIoqVersion) + '\n';
  for (const MetaEntry& m : metadata) {
    header += "# meta ";
    header += m.key;
    header += ' ';
    detail::append_quoted(header, m.text);
    header += '\n';
  }
  return header;
}

namespace detail {

void append_real(std::string& out, float value) {
  // to_chars without a precision gives the shortest digits that round-trip, and writes
  // inf / nan with their sign, which numpy, gnuplot and from_chars all read.
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

namespace {

void append_int(std::string& out, long long value) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += '"';
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c >= 0x20 && c <= 0x7e) {
      out += ch;
    } else {
      // Line ends, tabs, NULs and non-ASCII bytes: the file stays printable ASCII and
      // one line per field, and every byte comes back as it was.
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  out += '"';
}

std::optional<float> parse_real(std::string_view token) {
  if (token.empty()) return std::nullopt;
  float value = 0.0f;
  const char* end = token.data() + token.size();
  const auto res = std::from_chars(token.data(), end, value);
  if (res.ec != std::errc{} || res.ptr != end) return std::nullopt;
  return value;
}

std::optional<std::int32_t> parse_int32(std::string_view token) {
  if (token.empty()) return std::nullopt;
  std::int32_t value = 0;
  const char* end = token.data() + token.size();
  const auto res = std::from_chars(token.data(), end, value);
  if (res.ec != std::errc{} || res.ptr != end) return std::nullopt;
  return value;
}

std::optional<std::string> parse_quoted(std::string_view quoted) {
  if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') return std::nullopt;
  const std::string_view body = quoted.substr(1, quoted.size() - 2);
  std::string text;
  for (std::size_t i = 0; i < body.size(); ++i) {
    const auto c = static_cast<unsigned char>(body[i]);
    if (c == '"' || c < 0x20 || c > 0x7e) return std::nullopt;
    if (c != '\\') {
      text += body[i];
      continue;
    }
    if (++i >= body.size()) return std::nullopt;
    if (body[i] == '"' || body[i] == '\\') {
      text += body[i];
    } else if (body[i] == 'x' && i + 2 < body.size() && hex_digit(body[i + 1]) >= 0 &&
               hex_digit(body[i + 2]) >= 0) {
      text += static_cast<char>(hex_digit(body[i + 1]) * 16 + hex_digit(body[i + 2]));
      i += 2;
    } else {
      return std::nullopt;
    }
  }
  return text;
}

}  // namespace detail

namespace {

const Field* find_array(std::span<const Field> fields, std::string_view name) {
  for (const Field& f : fields) {
    if (f.name == name) return f.type == FieldType::Float32Array ? &f : nullptr;
  }
  return nullptr;
}

}  // namespace

std::string format_block(int number, std::span<const Field> fields) {
  // The data rows: plotting tools and loadtxt read them straight from the file.
  const Field* x = find_array(fields, "x");
  const Field* y = find_array(fields, "y");
  const Field* e = find_array(fields, "e");
  const bool has_rows = x != nullptr && y != nullptr && e != nullptr &&
                        y->values.size() == e->values.size() &&
                        y->values.size() <= x->values.size();
  const std::size_t nrows = has_rows ? y->values.size() : 0;

  std::string out;
  out.reserve(256 * (fields.size() + 1) + nrows * 40);
  if (number > 1) out += "\n\n";
  out += "# block ";
  detail::append_int(out, number);
  out += '\n';
  for (const Field& f : fields) {
    out += "# field ";
    out += f.name;
    out += ' ';
    out += type_name(f.type);
    out += ' ';
    detail::append_int(out, f.extent);
    switch (f.type) {
      case FieldType::String:
        out += ' ';
        detail::append_quoted(out, f.text);
        break;
      case FieldType::Int32:
        out += ' ';
        detail::append_int(out, f.int_value);
        break;
      case FieldType::Float32:
        out += ' ';
        detail::append_real(out, f.real_value);
        break;
      case FieldType::Float32Array: {
        std::size_t first = 0;
        if (has_rows && (&f == x || &f == y || &f == e)) {
          out += " rows";
          first = nrows;  // x keeps its values beyond the rows here
        }
        for (std::size_t i = first; i < f.values.size(); ++i) {
          out += ' ';
          detail::append_real(out, f.values[i]);
        }
        break;
      }
    }
    out += '\n';
  }
  out += "# rows ";
  detail::append_int(out, static_cast<long long>(nrows));
  out += has_rows ? " columns x y e\n" : " columns\n";
  for (std::size_t i = 0; i < nrows; ++i) {
    detail::append_real(out, x->values[i]);
    out += ' ';
    detail::append_real(out, y->values[i]);
    out += ' ';
    detail::append_real(out, e->values[i]);
    out += '\n';
  }
  return out;
}

}  // namespace zalmor::output
