// Fuzzes the .ioq reader: a file either reads into metadata and blocks that keep every stated
// extent and write back to the same metadata and blocks, or is refused with an IoqError. Anything
// else, including a large allocation taken from a count in the text, is a finding.
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "output/ioq_format.hpp"
#include "output/ioq_reader.hpp"

namespace {

using zalmor::fuzz::require;
namespace output = zalmor::output;

// Bit for bit, except that any NaN of the same sign matches: the text form keeps no payload.
bool same_float(float a, float b) {
  if (std::isnan(a) && std::isnan(b)) return std::signbit(a) == std::signbit(b);
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

bool same_field(const output::Field& a, const output::Field& b) {
  if (a.name != b.name || a.type != b.type || a.extent != b.extent) return false;
  switch (a.type) {
    case output::FieldType::String:
      return a.text == b.text;
    case output::FieldType::Int32:
      return a.int_value == b.int_value;
    case output::FieldType::Float32:
      return same_float(a.real_value, b.real_value);
    case output::FieldType::Float32Array:
      if (a.values.size() != b.values.size()) return false;
      for (std::size_t i = 0; i < a.values.size(); ++i) {
        if (!same_float(a.values[i], b.values[i])) return false;
      }
      return true;
  }
  return false;
}

bool same_blocks(const output::IoqFile& a, const output::IoqFile& b) {
  if (a.metadata != b.metadata || a.blocks.size() != b.blocks.size()) return false;
  for (std::size_t k = 0; k < a.blocks.size(); ++k) {
    const auto& fa = a.blocks[k].fields;
    const auto& fb = b.blocks[k].fields;
    if (fa.size() != fb.size()) return false;
    for (std::size_t i = 0; i < fa.size(); ++i) {
      if (!same_field(fa[i], fb[i])) return false;
    }
  }
  return true;
}

void check_file(const output::IoqFile& file) {
  require(file.version >= output::kIoqOldestVersion && file.version <= output::kIoqVersion,
          "unsupported version accepted");
  require(file.version >= 2 || file.metadata.empty(), "metadata in a version 1 file");
  for (const output::MetaEntry& m : file.metadata) {
    require(output::is_valid_key(m.key), "bad metadata key accepted");
  }
  for (std::size_t k = 0; k < file.blocks.size(); ++k) {
    const output::IoqBlock& block = file.blocks[k];
    require(block.number == static_cast<int>(k) + 1, "blocks out of order");
    for (const output::Field& f : block.fields) {
      require(f.extent >= 0, "negative extent");
      const auto extent = static_cast<std::size_t>(f.extent);
      switch (f.type) {
        case output::FieldType::String:
          require(f.text.size() == extent, "text length differs from its extent");
          break;
        case output::FieldType::Float32Array:
          require(f.values.size() == extent, "value count differs from its extent");
          break;
        default:
          require(extent == 0, "scalar with an extent");
          break;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const zalmor::fuzz::ScratchFile scratch(".ioq");
  const std::string_view text = zalmor::fuzz::as_text(data, size);
  const std::string& path = scratch.write(text);

  output::IoqFile from_file;
  bool read = false;
  try {
    from_file = output::read_ioq(path);
    read = true;
  } catch (const output::IoqError& e) {
    require(std::string_view(e.what()).starts_with(path), "message does not name the file");
  }

  // The text parser must agree with the file reader on what is well formed.
  output::IoqFile from_text;
  try {
    from_text = output::parse_ioq(text);
    require(read, "the text parser accepts what the file reader refused");
  } catch (const output::IoqError&) {
    require(!read, "the text parser refuses what the file reader accepted");
    return 0;
  }
  require(from_file.version == from_text.version && same_blocks(from_file, from_text),
          "file and text readings differ");
  check_file(from_text);

  // What was read writes back, as the current version, to a file that reads as the same
  // metadata and blocks.
  std::string again = output::ioq_file_header(from_text.metadata);
  for (const output::IoqBlock& block : from_text.blocks) {
    again += output::format_block(block.number, block.fields);
  }
  output::IoqFile reread;
  try {
    reread = output::parse_ioq(again, "<written again>");
  } catch (const output::IoqError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    require(false, "blocks that were read do not read back after writing");
  }
  require(same_blocks(from_text, reread), "blocks change when written and read again");
  return 0;
}
