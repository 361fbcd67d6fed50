// The data-file library: stores named fields of result blocks, one .ioq file per run.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace zalmor::output {

// A session writes one file. Blocks are put in order; the first put of a run passes the
// status "new" and starts the file, later puts (status "   ") add their block after the
// ones before. The file is written under a temporary name beside the destination and
// renamed into place by deactivate_session(), so an interrupted run leaves no partial
// file and the previous file of that name intact until then. A file that cannot be
// created, written or renamed ends the run (util::FatalError naming the file and reason).
class DataLibrary {
 public:
  DataLibrary();
  ~DataLibrary();  // a session still active is abandoned: its temporary file is removed
  DataLibrary(const DataLibrary&) = delete;
  DataLibrary& operator=(const DataLibrary&) = delete;

  void activate_session(std::string_view name, int flags, float arg);
  void assign_handle(std::string_view handle, std::string_view kind);
  // type_name: "string", "int32", "float32" or "float32[]"; rank and extent as passed
  // (0, 0 for scalars; 1 and the count for vectors and strings). The value is copied now.
  void transfer(std::string_view path, std::string_view direction, std::string_view type_name,
                const void* value, int rank, int extent);
  void select_destination(std::string_view file_name, std::string_view format);
  void put(std::string_view handle, std::string_view what, int flags, std::string_view status,
           std::string_view description);
  void release_handle(std::string_view handle);
  void deactivate_session();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zalmor::output
