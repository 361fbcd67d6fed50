// The .ioq layout read back exactly, and malformed files refused without a crash.
#include "output/ioq_reader.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "output/ioq_format.hpp"

namespace zalmor::output {
namespace {

using Type = FieldType;

Field make(std::string name, Type type, std::string text = "", std::int32_t i = 0, float r = 0,
           std::vector<float> v = {}) {
  const int extent = static_cast<int>(type == Type::String ? text.size() : v.size());
  return {std::move(name), type, extent, std::move(text), i, r, std::move(v)};
}
Field text(std::string n, std::string t) { return make(n, Type::String, t); }
Field int32(std::string n, std::int32_t v) { return make(n, Type::Int32, "", v); }
Field real(std::string n, float v) { return make(n, Type::Float32, "", 0, v); }
Field array(std::string n, std::vector<float> v) {
  return make(n, Type::Float32Array, "", 0, 0, v);
}

// Everything a field holds, reals as their bit patterns.
auto contents(const Field& f) {
  std::vector<std::uint32_t> values;
  for (const float v : f.values) values.push_back(std::bit_cast<std::uint32_t>(v));
  return std::tuple(f.name, f.type, f.extent, f.text, f.int_value,
                    std::bit_cast<std::uint32_t>(f.real_value), values);
}

TEST(IoqRoundTrip, EveryFieldComesBackExactly) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const float max = std::numeric_limits<float>::max();
  const std::vector<std::vector<Field>> blocks = {
      {text("file", std::string(80, ' ')), int32("ntc", 3),
       array("x", {0.5f, 1e-45f, -0.0f, max}),  // one beyond the rows
       array("y", {nan, -inf, 1.0f}), array("e", {0.0f, 0.0f, -nan}),
       text("quotes", "say \"hi\" \\ back\\"), text("empty", ""),
       text("bytes", std::string("\t\n\r\0\x01\x7f\xc3\xa9\xff end ", 15)),
       int32("imin", std::numeric_limits<std::int32_t>::min()),
       int32("imax", std::numeric_limits<std::int32_t>::max()), real("tiny", 1e-45f),
       real("negzero", -0.0f), array("none", {}),
       array("ut", {1e-45f, -0.0f, 0.0f, max, -max, 1.17549435e-38f, 0.1f, 123456792.0f, inf, -inf,
                    nan, -nan, 2.5f})},
      {int32("ntc", 0), array("x", {7.0f}), array("y", {}), array("e", {})},
  };
  // Keys repeat and keep their order; texts hold any bytes.
  const std::vector<MetaEntry> meta = {
      {"program", "zalmor"},
      {"answer", ""},
      {"answer", "  1.5e2, \"x\"\\"},
      {"model_title", std::string("caf\xc3\xa9\t\0\n", 8)},
      {"answer", "last"},
  };
  const IoqFile read =
      parse_ioq(ioq_file_header(meta) + format_block(1, blocks[0]) + format_block(2, blocks[1]));
  EXPECT_EQ(read.version, 2);
  EXPECT_EQ(read.metadata, meta);
  EXPECT_EQ(read.meta_values("answer"), (std::vector<std::string>{"", "  1.5e2, \"x\"\\", "last"}));
  EXPECT_EQ(*read.meta("program"), "zalmor");
  EXPECT_EQ(read.meta("host"), nullptr);
  ASSERT_EQ(read.blocks.size(), 2u);
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    EXPECT_EQ(read.blocks[b].number, static_cast<int>(b) + 1);
    ASSERT_EQ(read.blocks[b].fields.size(), blocks[b].size());
    for (std::size_t i = 0; i < blocks[b].size(); ++i) {
      EXPECT_EQ(contents(read.blocks[b].fields[i]), contents(blocks[b][i]));
    }
  }
  EXPECT_EQ(read.blocks[0].rows, 3u);
  EXPECT_EQ(read.blocks[1].rows, 0u);
  // Without all of x, y and e no data rows are written: every value stays in its field line.
  EXPECT_EQ(format_block(1, std::vector{array("x", {1, 2}), array("y", {3})}),
            "# block 1\n# field x float32[] 2 1 2\n# field y float32[] 1 3\n# rows 0 columns\n");
}

// A valid two-block file; the malformed cases below are small edits of it.
const std::string kValid =
    "# zalmor-ioq 1\n# block 1\n"
    "# field s string 3 \"a \\\"\"\n"
    "# field n int32 0 -4\n"
    "# field x float32[] 3 rows 9\n"
    "# field y float32[] 2 rows\n"
    "# field e float32[] 2 rows\n"
    "# rows 2 columns x y e\n"
    "1 2 3\n4 5 nan\n\n\n"
    "# block 2\n"
    "# field r float32 0 -inf\n"
    "# rows 0 columns\n";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  if (at == std::string::npos) throw std::logic_error("test text lacks " + from);
  return text.replace(at, from.size(), to);
}

TEST(IoqReader, ReadsTheHandWrittenFileAndNamesTheLineOfAFault) {
  const IoqFile f = parse_ioq(kValid);
  ASSERT_EQ(f.blocks.size(), 2u);
  EXPECT_EQ(f.blocks[0].find("s")->text, "a \"");
  EXPECT_EQ(f.blocks[0].find("x")->values, (std::vector<float>{1, 4, 9}));
  EXPECT_TRUE(std::isnan(f.blocks[0].find("e")->values[1]));
  EXPECT_EQ(f.blocks[1].find("r")->real_value, -std::numeric_limits<float>::infinity());
  EXPECT_EQ(f.blocks[1].find("x"), nullptr);
  try {
    parse_ioq(replaced(kValid, "1 2 3\n", "1 2 x\n"), "run.ioq");
    ADD_FAILURE() << "no error";
  } catch (const IoqError& e) {
    EXPECT_STREQ(e.what(), "run.ioq:9: bad real number 'x'");
  }
}

TEST(IoqReader, RefusesMalformedFiles) {
  const std::string cut_short[] = {"", kValid.substr(0, kValid.size() - 1),
                                   kValid.substr(0, kValid.find("4 5 nan"))};
  for (const std::string& text : cut_short) EXPECT_THROW(parse_ioq(text), IoqError) << text;
  // Each text edited into the valid file once.
  const std::pair<const char*, const char*> edits[] = {
      {"zalmor-ioq", "zalmor-iox"},
      {"ioq 1", "ioq 3"},
      {"ioq 1", "ioq 0"},
      {"ioq 1\n", "ioq 1\n# meta a \"b\"\n"},  // version 1 has no metadata
      {"\n\n\n# block 2", "\n\n# block 2"},
      {"\n\n\n# block 2", "\n\n\n\n# block 2"},
      {"# block 2", "# block 3"},
      {"string 3", "string 4"},
      {"string 3", "string 2147483647"},
      {"\\\"\"", "\\q\""},
      {"\\\"\"", "\\x4\""},
      {"\"a \\\"\"", "abc"},
      {"a \\\"", "a\"\""},
      {"-4", "2147483648"},
      {"int32 0", "int32 1"},
      {"int32", "int64"},
      {"[] 2 rows", "[] -2 rows"},
      {"[] 3 rows 9", "[] 2000000000 rows 9"},
      {"rows 9", "rows 9 10"},
      {"# rows 2", "# rows 2000000000"},
      {"# rows 2", "# rows 1"},
      {"x y e", "x y"},
      {"x y e", "x y e e"},
      {"x y e", "x y q"},
      {"1 2 3\n", "1 2\n"},
      {"1 2 3\n", "1 2 3 4\n"},
      {"1 2 3\n", "1  2 3\n"},
      {"1 2 3\n", "1 2 3 \n"},
      {"1 2 3\n", "1 2 3x\n"},
      {"1 2 3\n", "+1 2 3\n"},
      {"1 2 3\n", "1e39 2 3\n"},
      {"# field n ", "# field s "},
      {"0 columns\n", "0 columns\n5\n"},
      {"# rows 0", "# rows 1"},
      {"float32 0 -inf", "float32 0"},
  };
  for (const auto& [from, to] : edits) {
    EXPECT_THROW(parse_ioq(replaced(kValid, from, to)), IoqError) << from << " -> " << to;
  }
}

TEST(IoqReader, VersionTwoMetadataLinesComeBeforeTheFirstBlock) {
  const std::string meta = "# meta a \"x\"\n# meta a \"\"\n";
  const std::string v2 =
      replaced(replaced(kValid, "ioq 1", "ioq 2"), "# block 1\n", meta + "# block 1\n");
  const IoqFile f = parse_ioq(v2);
  EXPECT_EQ(f.version, 2);
  EXPECT_EQ(f.metadata, (std::vector<MetaEntry>{{"a", "x"}, {"a", ""}}));
  ASSERT_EQ(f.blocks.size(), 2u);
  EXPECT_EQ(parse_ioq("# zalmor-ioq 2\n# meta k \"v\"\n").metadata.size(), 1u);
  const std::pair<const char*, const char*> edits[] = {
      {"# meta a \"x\"", "# meta  a \"x\""},
      {"# meta a \"x\"", "# meta a"},
      {"# meta a \"x\"", "# meta a x"},
      {"# meta a \"x\"", "# meta a \"x\" "},
      {"# meta a \"x\"", "# meta a\x01 \"x\""},
      {"# rows 0 columns\n", "# meta a \"x\"\n# rows 0 columns\n"},  // inside a block
  };
  for (const auto& [from, to] : edits) {
    EXPECT_THROW(parse_ioq(replaced(v2, from, to)), IoqError) << from << " -> " << to;
  }
}

// A one-megabyte block of 40000 fields, every one named as a column: names are found by
// lookup, not by scanning the block's fields for each. The columns are listed backwards so
// that each one maps to its own field.
TEST(IoqReader, ReadsABlockOfManyFieldsAndColumns) {
  constexpr int kFields = 40000;
  std::string text = "# zalmor-ioq 1\n# block 1\n", columns, row;
  for (int i = 0; i < kFields; ++i) {
    text += "# field f" + std::to_string(i) + " float32[] 1 rows\n";
    columns += " f" + std::to_string(kFields - 1 - i);
    row += (i == 0 ? "" : " ") + std::to_string(kFields - 1 - i);
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
