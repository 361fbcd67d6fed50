// Writes one result block (data set, labels, parameters, run fields) through the library.
#pragma once

#include <array>
#include <span>
#include <string>

#include "output/datafile.hpp"

namespace zalmor::util {
class Console;
}

namespace zalmor::output {

// The block's arguments. Texts are cut or blank-padded to their field lengths by the writer.
struct ResultBlock {
  std::string k2file;         // destination file name (80)
  std::string filefield;      // 80
  std::string xlabel;         // 40
  std::string ylabel;         // 40
  std::string user_name;      // 20
  std::string inst_name;      // 8
  std::string title;          // 80
  std::string time;           // 20
  std::string history;        // 200
  std::span<const float> x;   // ntc + 1 values
  std::span<const float> y;   // ntc values
  std::span<const float> e;   // ntc values
  std::span<const float> ut;  // nut values
  float delta = 0, fi = 0, l1 = 0, l2 = 0, efixed = 0, twotheta = 0, run_duration = 0;
  int ntc = 0;
  int nx = 0;  // written by the writer: ntc + 1
  int nut = 0;
  int emode = 0, ispec_no = 0, irun_no = 0;
  int inew = 0;    // 1 for the first block of the file
  int idebug = 0;  // 1 writes a trace of the texts to the console
};

// Keeps its text buffers from call to call, as the library may read them at put time.
class BlockWriter {
 public:
  explicit BlockWriter(DataLibrary& library) : library_(library) {}
  // Sends the block as handle "h_block" with its 24 fields and puts it to block.k2file,
  // starting the file when inew is 1; sets block.nx to ntc + 1. The arrays must hold
  // ntc + 1 (x), ntc (y, e) and nut (ut) values: fewer is a std::logic_error.
  void write_block(util::Console& console, ResultBlock& block);

 private:
  DataLibrary& library_;
  std::string k2file_buf_;  // the destination, blank-padded to 80
  std::string file_buf_, xlabel_buf_, ylabel_buf_, user_buf_, inst_buf_, title_buf_, time_buf_,
      history_buf_;
  std::string spec_no_, run_no_, status_;
};

}  // namespace zalmor::output
