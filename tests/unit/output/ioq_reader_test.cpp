// The .ioq layout read back exactly, and malformed files refused without a crash.
#include "output/ioq_reader.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "output/ioq_format.hpp"

namespace zalmor::output {
namespace {

Field text_field(std::string name, std::string text) {
  Field f;
  f.name = std::move(name);
  f.type = FieldType::String;
  f.extent = static_cast<int>(text.size());
  f.text = std::move(text);
  return f;
}

Field int_field(std::string name, std::int32_t v) {
  Field f;
  f.name = std::move(name);
  f.type = FieldType::Int32;
  f.int_value = v;
  return f;
}

Field real_field(std::string name, float v) {
  Field f;
  f.name = std::move(name);
  f.type = FieldType::Float32;
  f.real_value = v;
  return f;
}

Field array_field(std::string name, std::vector<float> v) {
  Field f;
  f.name = std::move(name);
  f.type = FieldType::Float32Array;
  f.extent = static_cast<int>(v.size());
  f.values = std::move(v);
  return f;
}

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

void expect_same(const Field& got, const Field& want) {
  SCOPED_TRACE(want.name);
  EXPECT_EQ(got.name, want.name);
  EXPECT_EQ(got.type, want.type);
  EXPECT_EQ(got.extent, want.extent);
  EXPECT_EQ(got.text, want.text);
  EXPECT_EQ(got.int_value, want.int_value);
  EXPECT_EQ(bits(got.real_value), bits(want.real_value));
  ASSERT_EQ(got.values.size(), want.values.size());
  for (std::size_t i = 0; i < want.values.size(); ++i) {
    EXPECT_EQ(bits(got.values[i]), bits(want.values[i])) << "value " << i;
  }
}

const float kNan = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// Reals whose shortest text is easy to get wrong: subnormal, signed zero, extremes.
const std::vector<float> kEdgeReals = {
    1e-45f, -0.0f, 0.0f,  3.4028235e38f, -3.4028235e38f, 1.17549435e-38f, 0.1f, 123456792.0f, kInf,
    -kInf,  kNan,  -kNan, 2.5f};

std::string file_text(const std::vector<std::vector<Field>>& blocks) {
  std::string text = ioq_file_header();
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    text += format_block(static_cast<int>(b) + 1, blocks[b]);
  }
  return text;
}

TEST(IoqRoundTrip, EveryFieldComesBackExactly) {
  const std::vector<std::vector<Field>> blocks = {
      {
          text_field("file", std::string(80, ' ')),
          int_field("ntc", 3),
          array_field("x", {0.5f, 1e-45f, -0.0f, 3.4028235e38f}),  // one beyond the rows
          array_field("y", {kNan, -kInf, 1.0f}),
          array_field("e", {0.0f, 0.0f, -kNan}),
          text_field("ylabel", "i12(Q)" + std::string(34, ' ')),
          text_field("quotes", "say \"hi\" \\ back\\"),
          text_field("bytes", std::string("\t\n\r\0\x01\x7f\xc3\xa9\xff end ", 15)),
          text_field("empty", ""),
          int_field("imin", std::numeric_limits<std::int32_t>::min()),
          int_field("imax", std::numeric_limits<std::int32_t>::max()),
          real_field("tiny", 1e-45f),
          real_field("negzero", -0.0f),
          array_field("ut", kEdgeReals),
          array_field("none", {}),
      },
      {
          int_field("ntc", 0),
          array_field("x", {7.0f}),
          array_field("y", {}),
          array_field("e", {}),
      },
  };
  const IoqFile file = parse_ioq(file_text(blocks));
  EXPECT_EQ(file.version, 1);
  ASSERT_EQ(file.blocks.size(), 2u);
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    EXPECT_EQ(file.blocks[b].number, static_cast<int>(b) + 1);
    ASSERT_EQ(file.blocks[b].fields.size(), blocks[b].size());
    for (std::size_t i = 0; i < blocks[b].size(); ++i) {
      expect_same(file.blocks[b].fields[i], blocks[b][i]);
    }
  }
  EXPECT_EQ(file.blocks[0].rows, 3u);
  EXPECT_EQ(file.blocks[1].rows, 0u);
}

TEST(IoqFormat, TextsAreQuotedAsPrintableAscii) {
  std::string out;
  detail::append_quoted(out, std::string("a\"b\\c\x00\xe9 ", 8));
  EXPECT_EQ(out, R"("a\"b\\c\x00\xE9 ")");
}

TEST(IoqFormat, WithoutXYEAllValuesStayInTheirFieldLines) {
  const std::vector<Field> fields = {array_field("x", {1.0f, 2.0f}), array_field("y", {3.0f})};
  EXPECT_EQ(format_block(1, fields),
            "# block 1\n"
            "# field x float32[] 2 1 2\n"
            "# field y float32[] 1 3\n"
            "# rows 0 columns\n");
}

// A valid two-block file; the malformed cases below are small edits of it.
const std::string kValid =
    "# zalmor-ioq 1\n"
    "# block 1\n"
    "# field s string 3 \"a \\\"\"\n"
    "# field n int32 0 -4\n"
    "# field x float32[] 3 rows 9\n"
    "# field y float32[] 2 rows\n"
    "# field e float32[] 2 rows\n"
    "# rows 2 columns x y e\n"
    "1 2 3\n"
    "4 5 nan\n"
    "\n"
    "\n"
    "# block 2\n"
    "# field r float32 0 -inf\n"
    "# rows 0 columns\n";

TEST(IoqReader, ReadsTheHandWrittenFile) {
  const IoqFile f = parse_ioq(kValid);
  ASSERT_EQ(f.blocks.size(), 2u);
  EXPECT_EQ(f.blocks[0].find("s")->text, "a \"");
  EXPECT_EQ(f.blocks[0].find("x")->values, (std::vector<float>{1, 4, 9}));
  EXPECT_TRUE(std::isnan(f.blocks[0].find("e")->values[1]));
  EXPECT_EQ(f.blocks[1].find("r")->real_value, -kInf);
  EXPECT_EQ(f.blocks[1].find("x"), nullptr);
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  if (at == std::string::npos) throw std::logic_error("test text lacks " + from);
  return text.replace(at, from.size(), to);
}

TEST(IoqReader, RefusesMalformedFiles) {
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"other format", replaced(kValid, "zalmor-ioq", "zalmor-iox")},
      {"other version", replaced(kValid, "ioq 1", "ioq 2")},
      {"truncated line", kValid.substr(0, kValid.size() - 1)},
      {"truncated rows", kValid.substr(0, kValid.find("4 5 nan"))},
      {"one blank line", replaced(kValid, "\n\n\n# block 2", "\n\n# block 2")},
      {"three blank lines", replaced(kValid, "\n\n\n# block 2", "\n\n\n\n# block 2")},
      {"block out of order", replaced(kValid, "# block 2", "# block 3")},
      {"string too short", replaced(kValid, "string 3", "string 4")},
      {"huge string extent", replaced(kValid, "string 3", "string 2147483647")},
      {"bad escape", replaced(kValid, "\\\"\"", "\\q\"")},
      {"cut escape", replaced(kValid, "\\\"\"", "\\x4\"")},
      {"unquoted", replaced(kValid, "\"a \\\"\"", "abc")},
      {"raw quote", replaced(kValid, "a \\\"", "a\"\"")},
      {"int overflow", replaced(kValid, "-4", "2147483648")},
      {"scalar extent", replaced(kValid, "int32 0", "int32 1")},
      {"bad type", replaced(kValid, "int32", "int64")},
      {"negative extent", replaced(kValid, "float32[] 2 rows", "float32[] -2 rows")},
      {"huge array extent", replaced(kValid, "float32[] 3 rows 9", "float32[] 2000000000 rows 9")},
      {"tail too long", replaced(kValid, "rows 9", "rows 9 10")},
      {"row count too big", replaced(kValid, "# rows 2", "# rows 2000000000")},
      {"row count short", replaced(kValid, "# rows 2", "# rows 1")},
      {"column missing", replaced(kValid, "columns x y e", "columns x y")},
      {"column twice", replaced(kValid, "columns x y e", "columns x y e e")},
      {"column unknown", replaced(kValid, "columns x y e", "columns x y q")},
      {"short row", replaced(kValid, "1 2 3\n", "1 2\n")},
      {"long row", replaced(kValid, "1 2 3\n", "1 2 3 4\n")},
      {"double blank", replaced(kValid, "1 2 3\n", "1  2 3\n")},
      {"trailing blank", replaced(kValid, "1 2 3\n", "1 2 3 \n")},
      {"bad real", replaced(kValid, "1 2 3\n", "1 2 3x\n")},
      {"plus sign", replaced(kValid, "1 2 3\n", "+1 2 3\n")},
      {"real overflow", replaced(kValid, "1 2 3\n", "1e39 2 3\n")},
      {"duplicate field", replaced(kValid, "# field n ", "# field s ")},
      {"stray line", replaced(kValid, "# rows 0 columns\n", "# rows 0 columns\n5\n")},
      {"rows without columns", replaced(kValid, "# rows 0 columns", "# rows 1 columns")},
      {"missing scalar value", replaced(kValid, "float32 0 -inf", "float32 0")},
  };
  for (const auto& c : cases) {
    EXPECT_THROW(parse_ioq(c.text), IoqError) << c.what;
  }
}

TEST(IoqReader, SurvivesEveryOneByteDamage) {
  // Each position deleted, or replaced by characters that matter to the syntax: the reader
  // either accepts the text or throws IoqError, never anything else.
  const std::string damage = std::string("\n \"\\x0-9r#", 11) + '\0';
  for (std::size_t i = 0; i < kValid.size(); ++i) {
    std::vector<std::string> variants = {std::string(kValid).erase(i, 1)};
    for (const char c : damage) {
      std::string t = kValid;
      t[i] = c;
      variants.push_back(t);
    }
    for (const std::string& t : variants) {
      try {
        parse_ioq(t);
      } catch (const IoqError&) {
      }
    }
  }
}

TEST(IoqReader, MessageNamesFileAndLine) {
  try {
    parse_ioq(replaced(kValid, "1 2 3\n", "1 2 x\n"), "run.ioq");
    FAIL();
  } catch (const IoqError& e) {
    EXPECT_EQ(std::string(e.what()), "run.ioq:9: bad real number 'x'");
  }
}

// Found while fuzzing the reader with large inputs: names were looked up by scanning the
// block's fields, so a one-megabyte block of 40000 fields named as columns took seconds to
// minutes. The columns are listed backwards so that each one maps to its own field.
TEST(IoqReader, ReadsABlockOfManyFieldsAndColumns) {
  constexpr int kFields = 40000;
  std::string text = "# zalmor-ioq 1\n# block 1\n";
  std::string columns;
  std::string row;
  for (int i = 0; i < kFields; ++i) {
    text += "# field f" + std::to_string(i) + " float32[] 1 rows\n";
    const int back = kFields - 1 - i;
    columns += " f" + std::to_string(back);
    row += (i == 0 ? "" : " ") + std::to_string(back);
  }
  text += "# rows 1 columns" + columns + "\n" + row + "\n";
  const IoqFile f = parse_ioq(text);
  ASSERT_EQ(f.blocks.size(), 1u);
  ASSERT_EQ(f.blocks[0].fields.size(), static_cast<std::size_t>(kFields));
  for (int i = 0; i < kFields; i += 9999) {
    EXPECT_EQ(f.blocks[0].fields[i].values, std::vector<float>{static_cast<float>(i)});
  }
  EXPECT_THROW(parse_ioq(replaced(text, " f0\n", " f1\n")), IoqError);
  EXPECT_THROW(parse_ioq(text + "\n\n# block 2\n# field a int32 0 1\n# field a int32 0 1\n"),
               IoqError);
}

}  // namespace
}  // namespace zalmor::output
