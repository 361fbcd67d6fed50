// Strict parser of the .ioq layout: any deviation is an IoqError naming the line.
#include "output/ioq_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <unordered_map>
#include <utility>

namespace zalmor::output {

const Field* IoqBlock::find(std::string_view name) const {
  for (const Field& f : fields) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

std::vector<std::string> IoqFile::meta_values(std::string_view key) const {
  std::vector<std::string> values;
  for (const MetaEntry& m : metadata) {
    if (m.key == key) values.push_back(m.text);
  }
  return values;
}

const std::string* IoqFile::meta(std::string_view key) const {
  for (const MetaEntry& m : metadata) {
    if (m.key == key) return &m.text;
  }
  return nullptr;
}

namespace {

class Parser {
 public:
  Parser(std::string_view text, std::string_view source) : text_(text), source_(source) {}

  IoqFile parse() {
    IoqFile file;
    const std::string_view first = expect_line("the format line");
    const std::string_view prefix = kIoqMagic;
    if (!first.starts_with(prefix) || first.size() <= prefix.size() ||
        first[prefix.size()] != ' ') {
      fail("not a zalmor-ioq file");
    }
    const auto version = detail::parse_int32(first.substr(prefix.size() + 1));
    if (!version) fail("bad format version");
    if (*version < kIoqOldestVersion || *version > kIoqVersion) {
      fail("unsupported format version " + std::to_string(*version));
    }
    file.version = *version;
    if (file.version >= 2) {
      while (text_.substr(pos_).starts_with("# meta ")) {
        file.metadata.push_back(parse_meta(expect_line("a meta line").substr(7)));
      }
    }

    while (!at_end()) {
      const int number = static_cast<int>(file.blocks.size()) + 1;
      if (number > 1) {
        // Blocks are separated by exactly two blank lines.
        if (!expect_line("a blank line").empty()) fail("expected two blank lines between blocks");
        if (!expect_line("a blank line").empty()) fail("expected two blank lines between blocks");
      }
      file.blocks.push_back(parse_block(number));
    }
    return file;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw IoqError(std::string(source_) + ":" + std::to_string(line_no_) + ": " + what);
  }

  bool at_end() const { return pos_ >= text_.size(); }

  std::string_view expect_line(const char* what) {
    if (at_end()) {
      ++line_no_;
      fail(std::string("unexpected end of file, expected ") + what);
    }
    ++line_no_;
    const std::size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) fail("last line has no line end (truncated file?)");
    const std::string_view line = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    return line;
  }

  // Splits at single blanks; an empty piece (two blanks, a leading or trailing blank) is
  // malformed.
  template <class F>
  void for_each_token(std::string_view rest, F&& f) {
    while (!rest.empty()) {
      const std::size_t sp = rest.find(' ');
      const std::string_view tok = rest.substr(0, sp);
      if (tok.empty()) fail("unexpected blank");
      f(tok);
      if (sp == std::string_view::npos) break;
      rest.remove_prefix(sp + 1);
      if (rest.empty()) fail("trailing blank");
    }
  }

  // Cuts the next blank-terminated word from rest.
  std::string_view word(std::string_view& rest, const char* what) {
    const std::size_t sp = rest.find(' ');
    const std::string_view w = rest.substr(0, sp);
    if (w.empty()) fail(std::string("missing ") + what);
    rest = sp == std::string_view::npos ? std::string_view{} : rest.substr(sp + 1);
    return w;
  }

  float real(std::string_view tok) {
    const auto v = detail::parse_real(tok);
    if (!v) fail("bad real number '" + std::string(tok.substr(0, 40)) + "'");
    return *v;
  }

  using NameIndex = std::unordered_map<std::string_view, std::size_t>;

  struct RowField {
    std::size_t index;        // into the block's fields
    std::vector<float> tail;  // values after those in the rows
  };

  IoqBlock parse_block(int number) {
    IoqBlock block;
    block.number = number;
    {
      std::string_view line = expect_line("a block line");
      if (!line.starts_with("# block ")) fail("expected '# block " + std::to_string(number) + "'");
      const auto n = detail::parse_int32(line.substr(8));
      if (!n || *n != number) fail("expected block number " + std::to_string(number));
    }

    std::vector<RowField> row_fields;
    // Names are looked up by hash: a block may hold as many fields and columns as its
    // text has lines and words, and a search of the list for each would be quadratic.
    NameIndex field_index;  // name -> index into block.fields
    std::string_view line = expect_line("a field or rows line");
    while (line.starts_with("# field ")) {
      parse_field(line.substr(8), block, row_fields, field_index);
      line = expect_line("a field or rows line");
    }
    if (!line.starts_with("# rows ")) fail("expected a field line or '# rows'");
    std::string_view rest = line.substr(7);
    const auto nrows = detail::parse_int32(word(rest, "row count"));
    if (!nrows || *nrows < 0) fail("bad row count");
    if (word(rest, "'columns'") != "columns") fail("expected 'columns'");

    // Column names, each a field marked "rows", each once.
    NameIndex row_index;  // name -> index into row_fields
    for (std::size_t k = 0; k < row_fields.size(); ++k) {
      row_index.emplace(block.fields[row_fields[k].index].name, k);
    }
    std::vector<std::size_t> columns;  // index into row_fields
    std::vector<bool> named(row_fields.size(), false);
    for_each_token(rest, [&](std::string_view name) {
      const auto found = row_index.find(name);
      if (found == row_index.end()) fail("column '" + std::string(name) + "' is no rows field");
      const std::size_t k = found->second;
      if (named[k]) fail("column '" + std::string(name) + "' named twice");
      named[k] = true;
      columns.push_back(k);
    });
    if (columns.size() != row_fields.size()) fail("a rows field is not among the columns");
    if (columns.empty() && *nrows > 0) fail("data rows without columns");
    const auto n = static_cast<std::size_t>(*nrows);
    for (const RowField& rf : row_fields) {
      const Field& f = block.fields[rf.index];
      if (static_cast<std::size_t>(f.extent) != n + rf.tail.size()) {
        fail("field " + f.name + ": extent does not match the rows and values given");
      }
    }

    // The row count was checked against nothing yet: rows are read one by one, so a
    // false count only reaches the end of the text.
    for (std::size_t r = 0; r < n; ++r) {
      const std::string_view row = expect_line("a data row");
      std::size_t c = 0;
      for_each_token(row, [&](std::string_view tok) {
        if (c >= columns.size()) fail("too many values in data row");
        block.fields[row_fields[columns[c]].index].values.push_back(real(tok));
        ++c;
      });
      if (c != columns.size()) fail("too few values in data row");
    }
    for (RowField& rf : row_fields) {
      auto& values = block.fields[rf.index].values;
      values.insert(values.end(), rf.tail.begin(), rf.tail.end());
    }
    block.rows = n;
    return block;
  }

  MetaEntry parse_meta(std::string_view rest) {
    const std::size_t sp = rest.find(' ');
    if (sp == 0 || sp == std::string_view::npos) fail("expected '# meta <key> \"<text>\"'");
    const std::string_view key = rest.substr(0, sp);
    if (!is_valid_key(key)) fail("bad character in meta key");
    auto text = detail::parse_quoted(rest.substr(sp + 1));
    if (!text) fail("bad quoted text of meta " + std::string(key));
    return {std::string(key), std::move(*text)};
  }

  void parse_field(std::string_view rest, IoqBlock& block, std::vector<RowField>& row_fields,
                   NameIndex& field_index) {
    Field f;
    const std::string_view name = word(rest, "field name");
    if (!is_valid_key(name)) fail("bad character in field name");
    if (field_index.contains(name)) fail("field " + std::string(name) + " appears twice");
    f.name = name;
    const auto type = parse_type_name(word(rest, "type"));
    if (!type) fail("unknown type of field " + f.name);
    f.type = *type;
    const std::string_view extent_text =
        rest.substr(0, std::min(rest.find(' '), rest.size()));  // may end the line
    const auto extent = detail::parse_int32(extent_text);
    if (!extent || *extent < 0) fail("bad extent of field " + f.name);
    f.extent = *extent;
    rest.remove_prefix(extent_text.size());
    const bool has_value = !rest.empty();
    if (has_value) rest.remove_prefix(1);  // the blank before the value
    if (has_value && rest.empty()) fail("trailing blank");

    switch (f.type) {
      case FieldType::String: {
        auto text = detail::parse_quoted(rest);
        if (!text) fail("bad quoted text of field " + f.name);
        if (text->size() != static_cast<std::size_t>(f.extent)) {
          fail("field " + f.name + ": text length differs from its extent");
        }
        f.text = std::move(*text);
        break;
      }
      case FieldType::Int32: {
        if (f.extent != 0) fail("scalar field " + f.name + " with an extent");
        const auto v = detail::parse_int32(rest);
        if (!v) fail("bad integer of field " + f.name);
        f.int_value = *v;
        break;
      }
      case FieldType::Float32:
        if (f.extent != 0) fail("scalar field " + f.name + " with an extent");
        if (rest.empty()) fail("missing value of field " + f.name);
        f.real_value = real(rest);
        break;
      case FieldType::Float32Array: {
        bool in_rows = false;
        std::vector<float> values;
        for_each_token(rest, [&](std::string_view tok) {
          if (!in_rows && values.empty() && tok == "rows") {
            in_rows = true;
            return;
          }
          if (values.size() >= static_cast<std::size_t>(f.extent)) {
            fail("field " + f.name + ": more values than its extent");
          }
          values.push_back(real(tok));
        });
        if (in_rows) {
          row_fields.push_back({block.fields.size(), std::move(values)});
        } else {
          if (values.size() != static_cast<std::size_t>(f.extent)) {
            fail("field " + f.name + ": fewer values than its extent");
          }
          f.values = std::move(values);
        }
        break;
      }
    }
    // The key views the text, which outlives the parse; the field's own string may move.
    field_index.emplace(name, block.fields.size());
    block.fields.push_back(std::move(f));
  }

  std::string_view text_;
  std::string_view source_;
  std::size_t pos_ = 0;
  int line_no_ = 0;
};

}  // namespace

IoqFile parse_ioq(std::string_view text, std::string_view source) {
  return Parser(text, source).parse();
}

IoqFile read_ioq(std::string_view path) {
  const std::string name(path);
  std::ifstream in(name, std::ios::binary);
  if (!in) throw IoqError(name + ": cannot open: " + std::strerror(errno));
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) throw IoqError(name + ": read error");
  return parse_ioq(text, name);
}

}  // namespace zalmor::output
