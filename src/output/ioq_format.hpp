// The .ioq text layout shared by the data-file library (writing) and the reader.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zalmor::output {

inline constexpr std::string_view kIoqMagic = "# zalmor-ioq";
// Version 2 adds the metadata lines before the first block; version 1 has none.
inline constexpr int kIoqVersion = 2;
inline constexpr int kIoqOldestVersion = 1;

enum class FieldType { String, Int32, Float32, Float32Array };

// "string", "int32", "float32", "float32[]".
std::string_view type_name(FieldType type);
std::optional<FieldType> parse_type_name(std::string_view name);

// One named field of a block. Only the member matching `type` carries the value.
struct Field {
  std::string name;
  FieldType type = FieldType::Int32;
  int extent = 0;              // characters of a string, values of a float32[]; 0 for scalars
  std::string text;            // String: exactly `extent` bytes, any byte values
  std::int32_t int_value = 0;  // Int32
  float real_value = 0.0f;     // Float32
  std::vector<float> values;   // Float32Array: exactly `extent` values
};

// One file-level metadata line, "# meta <key> <quoted text>". Keys may repeat.
struct MetaEntry {
  std::string key;   // printable ASCII without blanks, not empty
  std::string text;  // any bytes
  bool operator==(const MetaEntry&) const = default;
};

// True when `key` can be a metadata key (or a field name): printable ASCII, no blank.
bool is_valid_key(std::string_view key);

// What a new file starts with: the format line of the current version, then the metadata
// lines in order, each with its line end.
std::string ioq_file_header(std::span<const MetaEntry> metadata = {});

// One block as it follows the file header (number 1) or the previous block (number > 1:
// the text then starts with the two blank lines that separate blocks). When float32[]
// fields x, y and e are present with len(y) == len(e) <= len(x), their first len(y)
// values become the data rows "x y e"; every other value stays in its field line.
std::string format_block(int number, std::span<const Field> fields);

namespace detail {

// Shortest text that reads back to the same float; inf, -inf, nan, -nan otherwise.
void append_real(std::string& out, float value);
// Double-quoted; '"' and '\' escaped by a backslash, every byte outside 0x20..0x7e as \xHH.
void append_quoted(std::string& out, std::string_view text);

// Whole-token parsers: nullopt unless the entire token is one value of the kind.
std::optional<float> parse_real(std::string_view token);
std::optional<std::int32_t> parse_int32(std::string_view token);
// Undoes append_quoted. `quoted` must be exactly one quoted text.
std::optional<std::string> parse_quoted(std::string_view quoted);

}  // namespace detail

}  // namespace zalmor::output
