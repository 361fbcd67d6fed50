// Writes one result block (data set, labels, parameters, run fields) through the library.
#include "output/block_writer.hpp"

#include <stdexcept>
#include <string>
#include <string_view>

#include "util/console.hpp"
#include "util/format.hpp"

namespace zalmor::output {

namespace {

// Texts travel as fixed-length fields: cut or blank-padded to their length.
void copy_padded(std::string& buffer, std::string_view text, std::size_t length) {
  buffer.assign(text.substr(0, std::min(text.size(), length)));
  buffer.resize(length, ' ');
}

std::string padded(std::string_view text, std::size_t length) {
  std::string s;
  copy_padded(s, text, length);
  return s;
}

// The integer with exactly its digits, left-aligned in 10 characters. Callers keep the
// text within 10 characters; a longer one is cut rather than overrun.
void copy_number(std::string& buffer, int n) { copy_padded(buffer, util::format_int(n), 10); }

}  // namespace

void BlockWriter::write_block(util::Console& console, ResultBlock& block) {
  if (block.ntc < 0 || block.nut < 0) throw std::logic_error("write_block: negative count");
  const auto ntc = static_cast<std::size_t>(block.ntc);
  if (block.x.size() < ntc + 1 || block.y.size() < ntc || block.e.size() < ntc ||
      block.ut.size() < static_cast<std::size_t>(block.nut)) {
    throw std::logic_error("write_block: arrays shorter than ntc + 1, ntc, ntc, nut");
  }
  const bool trace = block.idebug == 1;

  if (trace) {
    console.line("**write_block**");
    console.line("k2file = " + padded(block.k2file, 60));
    console.line("filefield = " + padded(block.filefield, 60));
    console.line("xlabel = " + padded(block.xlabel, 40));
    console.line("ylabel = " + padded(block.ylabel, 40));
    console.line("user_name,inst_name = " + padded(block.user_name, 20) +
                 padded(block.inst_name, 8));
    console.line("title = " + padded(block.title, 60));
    console.line("time = " + padded(block.time, 20));
    console.line("history = " + padded(block.history, 60));
  }

  copy_number(spec_no_, block.ispec_no);
  copy_number(run_no_, block.irun_no);
  if (trace) {
    util::print_with_int(console, "ispec_no = ", block.ispec_no);
    util::print_with_int(console, "irun_no = ", block.irun_no);
    console.line("**write_block** (1)");
  }

  copy_padded(k2file_buf_, block.k2file, 80);
  copy_padded(file_buf_, block.filefield, 80);
  copy_padded(xlabel_buf_, block.xlabel, 40);
  copy_padded(ylabel_buf_, block.ylabel, 40);
  copy_padded(user_buf_, block.user_name, 20);
  copy_padded(inst_buf_, block.inst_name, 8);
  copy_padded(title_buf_, block.title, 80);
  copy_padded(time_buf_, block.time, 20);
  copy_padded(history_buf_, block.history, 200);
  if (trace) {
    console.line("**write_block** (2)");
    console.line("**write_block** (3)");
  }

  DataLibrary& lib = library_;
  lib.assign_handle("h_block", "fields()");
  const auto text = [&lib](const char* path, const std::string& buffer) {
    lib.transfer(path, "<--", "string", buffer.data(), 1, static_cast<int>(buffer.size()));
  };
  const auto int32 = [&lib](const char* path, const int& value) {
    lib.transfer(path, "<--", "int32", &value, 0, 0);
  };
  const auto real = [&lib](const char* path, const float& value) {
    lib.transfer(path, "<--", "float32", &value, 0, 0);
  };
  const auto array = [&lib](const char* path, std::span<const float> values, int count) {
    lib.transfer(path, "<--", "float32[]", values.data(), 1, count);
  };

  text("h_block.file", file_buf_);
  int32("h_block.ntc", block.ntc);
  block.nx = block.ntc + 1;
  array("h_block.x", block.x, block.nx);
  array("h_block.y", block.y, block.ntc);
  array("h_block.e", block.e, block.ntc);
  text("h_block.xlabel", xlabel_buf_);
  text("h_block.ylabel", ylabel_buf_);
  text("h_block.spec_no", spec_no_);
  real("h_block.delta", block.delta);
  text("h_block.user_name", user_buf_);
  int32("h_block.nut", block.nut);
  array("h_block.ut", block.ut, block.nut);
  text("h_block.run_no", run_no_);
  int32("h_block.emode", block.emode);
  real("h_block.fi", block.fi);
  real("h_block.l1", block.l1);
  real("h_block.l2", block.l2);
  real("h_block.efixed", block.efixed);
  real("h_block.twotheta", block.twotheta);
  real("h_block.run_duration", block.run_duration);
  text("h_block.inst_name", inst_buf_);
  text("h_block.title", title_buf_);
  text("h_block.time", time_buf_);
  text("h_block.history", history_buf_);

  lib.select_destination(k2file_buf_, "K2");
  status_ = block.inew == 1 ? "new" : "   ";
  lib.put("h_block", "data", 0, status_, "Data points");
  lib.release_handle("h_block");
}

}  // namespace zalmor::output
