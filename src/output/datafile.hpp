// The data-file library: stores named fields of result blocks, one .ioq file per run.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "output/ioq_format.hpp"

namespace zalmor::output {

// A session writes one file. Blocks are put in order; the first put of a run passes the
// status "new" and starts the file, later puts (status "   ") add their block after the
// ones before. The file is written under a temporary name beside the destination and
// renamed into place by deactivate_session(), so an interrupted run leaves no partial
// file and the previous file of that name intact until then. A replaced file's mode (and
// group, where the owner may set it) passes to the new one. A file that cannot be
// created, written or renamed ends the run (util::FatalError naming the file and reason).
//
// The temporary file is "<dir>/.<name>.<host>.<pid>.<n>.tmp". Starting a file removes
// such files of the same destination left by a process of this host that no longer runs.
// Calls out of order, unknown type names and the like are programming errors and throw
// std::logic_error.
class DataLibrary {
 public:
  DataLibrary();
  ~DataLibrary();  // a session still active is abandoned: its temporary file is removed
  DataLibrary(const DataLibrary&) = delete;
  DataLibrary& operator=(const DataLibrary&) = delete;

  void activate_session(std::string_view name, int flags, float arg);
  // The metadata lines that every file started from now on carries after its format line.
  // A file this session continues keeps the version and metadata it has on disk.
  void set_file_metadata(std::vector<MetaEntry> metadata);
  void assign_handle(std::string_view handle, std::string_view kind);
  // type_name: "string", "int32", "float32" or "float32[]"; rank and extent as passed
  // (0, 0 for scalars; 1 and the count for vectors and strings). The value is copied now.
  void transfer(std::string_view path, std::string_view direction, std::string_view type_name,
                const void* value, int rank, int extent);
  // file_name may be blank-padded; format "K2". The file is created at the first put.
  void select_destination(std::string_view file_name, std::string_view format);
  // status "new" starts the file (dropping blocks put to it earlier in this session);
  // blanks add the block after the others. Adding to a file this session has not
  // started continues the file already on disk, if there is one.
  void put(std::string_view handle, std::string_view what, int flags, std::string_view status,
           std::string_view description);
  void release_handle(std::string_view handle);
  // Flushes each file to disk and renames it into place.
  void deactivate_session();

 private:
  friend void check_destination(std::string_view file_name);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Makes sure the file `file_name` (blanks after it removed) can be created where it is
// named, before a long calculation: the checks and the temporary file of a put, which is
// removed again at once. Throws util::FatalError with the message a put would give.
void check_destination(std::string_view file_name);

// Removes the temporary files of every active session of the process, using only
// async-signal-safe calls: for a signal handler that then ends the process with _exit.
// The sessions are left unusable.
void abandon_active_sessions() noexcept;

}  // namespace zalmor::output
