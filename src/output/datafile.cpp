// The data-file library: handles of named fields, and crash-safe .ioq files.
#include "output/datafile.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "output/ioq_format.hpp"
#include "output/ioq_reader.hpp"
#include "util/errors.hpp"

namespace zalmor::output {

static_assert(sizeof(float) == 4 && sizeof(std::int32_t) == 4);

namespace {

// Temporary file names live here as well, in fixed storage, so that a signal handler
// can remove them without allocating or locking. A slot is armed only once its name is
// complete, and disarmed before the name is rewritten.
constexpr int kTempSlots = 16;
constexpr std::size_t kTempPathMax = 4096;
constexpr int kSlotFree = 0, kSlotClaimed = 1, kSlotArmed = 2;

struct TempSlot {
  std::atomic<int> state{kSlotFree};
  char path[kTempPathMax] = {};
};
static_assert(std::atomic<int>::is_always_lock_free);

TempSlot g_temp_slots[kTempSlots];

int arm_temp_slot(const std::string& path) {
  for (int i = 0; i < kTempSlots; ++i) {
    int expected = kSlotFree;
    if (g_temp_slots[i].state.compare_exchange_strong(expected, kSlotClaimed)) {
      std::memcpy(g_temp_slots[i].path, path.c_str(), path.size() + 1);
      g_temp_slots[i].state.store(kSlotArmed, std::memory_order_release);
      return i;
    }
  }
  throw std::logic_error("DataLibrary: more output files open at once than temp slots");
}

void free_temp_slot(int slot) noexcept {
  if (slot < 0) return;
  g_temp_slots[slot].state.store(kSlotClaimed, std::memory_order_release);
  g_temp_slots[slot].state.store(kSlotFree, std::memory_order_release);
}

bool is_armed_temp(const std::string& path) {
  for (const TempSlot& s : g_temp_slots) {
    if (s.state.load(std::memory_order_acquire) == kSlotArmed && path == s.path) return true;
  }
  return false;
}

[[noreturn]] void fail_file(const char* message, const std::string& file, int err) {
  throw util::FatalError(message + file + ": " + std::strerror(err));
}

[[noreturn]] void misuse(const std::string& what) {
  throw std::logic_error("DataLibrary: " + what);
}

std::string host_name() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return "localhost";
  std::string host = buf;
  for (char& c : host) {
    if (c == '/' || static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) > 0x7e) {
      c = '_';
    }
  }
  return host;
}

bool all_digits(std::string_view s) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

void write_all(int fd, std::string_view data, const std::string& file) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail_file(" Cannot write output file ", file, errno);
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

// The destination's blocks, accumulating under a temporary name.
struct Output {
  std::string name;  // as the caller gave it, trailing blanks removed
  std::string dir;   // "" or ending in '/'
  std::string base;
  std::string temp_path;
  int fd = -1;
  int slot = -1;
  int blocks = 0;
};

void discard(Output& out) noexcept {
  if (out.fd >= 0) ::close(out.fd);
  out.fd = -1;
  if (!out.temp_path.empty()) ::unlink(out.temp_path.c_str());
  free_temp_slot(out.slot);
  out.slot = -1;
}

// Removes temporary files of this destination whose writer on this host has ended
// without renaming or removing them (a crash, a kill -9, a power cut).
void remove_stale_temps(const Output& out, const std::string& host) {
  DIR* d = ::opendir(out.dir.empty() ? "." : out.dir.c_str());
  if (d == nullptr) return;
  const std::string prefix = "." + out.base + ".";
  const std::string suffix = ".tmp";
  const pid_t self = ::getpid();
  while (const dirent* ent = ::readdir(d)) {
    const std::string_view entry = ent->d_name;
    if (!entry.starts_with(prefix) || !entry.ends_with(suffix) ||
        entry.size() <= prefix.size() + suffix.size()) {
      continue;
    }
    // <host>.<pid>.<n>
    std::string_view mid =
        entry.substr(prefix.size(), entry.size() - prefix.size() - suffix.size());
    const std::size_t dot_n = mid.rfind('.');
    if (dot_n == std::string_view::npos || !all_digits(mid.substr(dot_n + 1))) continue;
    mid = mid.substr(0, dot_n);
    const std::size_t dot_pid = mid.rfind('.');
    if (dot_pid == std::string_view::npos || !all_digits(mid.substr(dot_pid + 1))) continue;
    if (mid.substr(0, dot_pid) != host) continue;
    const pid_t pid = std::stoi(std::string(mid.substr(dot_pid + 1)));
    const std::string path = out.dir + std::string(entry);
    const bool stale = pid == self ? !is_armed_temp(path) : (::kill(pid, 0) != 0 && errno == ESRCH);
    if (stale) ::unlink(path.c_str());
  }
  ::closedir(d);
}

// Reads an existing destination that a put without "new" continues; false when there is
// none.
bool read_existing(const Output& out, std::string& text) {
  const int fd = ::open(out.name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return false;
    fail_file(" Cannot read output file ", out.name, errno);
  }
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      fail_file(" Cannot read output file ", out.name, err);
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.remove_suffix(1);
  return s;
}

}  // namespace

struct DataLibrary::Impl {
  struct Handle {
    std::string name;
    std::vector<Field> fields;
  };

  bool active = false;
  std::vector<Handle> handles;
  std::string destination;  // trimmed; empty until selected
  std::vector<Output> outputs;
  std::string host = host_name();
  unsigned temp_counter = 0;
  std::vector<MetaEntry> metadata;  // for the files this session starts

  ~Impl() { discard_all(); }

  void discard_all() noexcept {
    for (Output& out : outputs) discard(out);
    outputs.clear();
  }

  void require_active(const char* op) const {
    if (!active) misuse(std::string(op) + " without an active session");
  }

  Handle& handle(std::string_view name, const char* op) {
    for (Handle& h : handles) {
      if (h.name == name) return h;
    }
    misuse(std::string(op) + " on handle '" + std::string(name) + "' not assigned");
  }

  Output* find_output(const std::string& name) {
    for (Output& out : outputs) {
      if (out.name == name) return &out;
    }
    return nullptr;
  }

  void create_temp(Output& out) {
    if (out.base.empty() || out.base == "." || out.base == "..") {
      fail_file(" Cannot create output file ", out.name, EISDIR);
    }
    struct stat st {};
    if (::stat(out.name.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) fail_file(" Cannot create output file ", out.name, EISDIR);
      // Replacing by rename would bypass a write-protected file; refuse like open would.
      if (::access(out.name.c_str(), W_OK) != 0) {
        fail_file(" Cannot create output file ", out.name, errno);
      }
    }
    remove_stale_temps(out, host);
    const std::string stem =
        out.dir + "." + out.base + "." + host + "." + std::to_string(::getpid()) + ".";
    for (int attempt = 0; attempt < 1000; ++attempt) {
      const std::string path = stem + std::to_string(temp_counter++ % 1000000000u) + ".tmp";
      if (path.size() >= kTempPathMax)
        fail_file(" Cannot create output file ", out.name, ENAMETOOLONG);
      // Armed before the file exists, so no moment passes with an unlisted temp file.
      const int slot = arm_temp_slot(path);
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        out.temp_path = path;
        out.fd = fd;
        out.slot = slot;
        return;
      }
      const int err = errno;
      free_temp_slot(slot);
      if (err != EEXIST) fail_file(" Cannot create output file ", out.name, err);
    }
    fail_file(" Cannot create output file ", out.name, EEXIST);
  }

  // Starts (or restarts) the temporary file of a destination; continues the file on disk
  // when a block is added to a destination this session has not started.
  void start(Output& out, bool is_new) {
    if (out.fd < 0) {
      create_temp(out);
    } else if (is_new) {
      if (::ftruncate(out.fd, 0) != 0 || ::lseek(out.fd, 0, SEEK_SET) != 0) {
        fail_file(" Cannot write output file ", out.name, errno);
      }
    }
    std::string existing;
    if (!is_new && read_existing(out, existing)) {
      int count = 0;
      try {
        count = static_cast<int>(parse_ioq(existing, out.name).blocks.size());
      } catch (const IoqError&) {
        throw util::FatalError(" Cannot add to output file " + out.name +
                               ": it is not a zalmor-ioq file");
      }
      write_all(out.fd, existing, out.name);
      out.blocks = count;
    } else {
      write_all(out.fd, ioq_file_header(metadata), out.name);
      out.blocks = 0;
    }
  }

  void commit(Output& out) {
    // The new file takes the place of the old one, so it keeps its permissions: a result
    // kept private stays private. A group the owner may not give is left as it is.
    struct stat old {};
    if (::stat(out.name.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
      if (::fchmod(out.fd, old.st_mode & 07777) != 0) {
        fail_file(" Cannot write output file ", out.name, errno);
      }
      if (::fchown(out.fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
        // EPERM: not a group of ours.
      }
    }
    if (::fsync(out.fd) != 0) fail_file(" Cannot write output file ", out.name, errno);
    const int fd = out.fd;
    out.fd = -1;
    if (::close(fd) != 0) fail_file(" Cannot write output file ", out.name, errno);
    if (::rename(out.temp_path.c_str(), out.name.c_str()) != 0) {
      fail_file(" Cannot replace output file ", out.name, errno);
    }
    out.temp_path.clear();
    free_temp_slot(out.slot);
    out.slot = -1;
    // The rename itself reaches the disk with the directory.
    const int dfd =
        ::open(out.dir.empty() ? "." : out.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      ::fsync(dfd);
      ::close(dfd);
    }
  }
};

DataLibrary::DataLibrary() : impl_(std::make_unique<Impl>()) {}

DataLibrary::~DataLibrary() = default;

void DataLibrary::activate_session(std::string_view name, int /*flags*/, float /*arg*/) {
  if (impl_->active) misuse("session activated twice");
  if (name.empty()) misuse("session without a name");
  impl_->active = true;
  impl_->destination.clear();
}

void DataLibrary::set_file_metadata(std::vector<MetaEntry> metadata) {
  for (const MetaEntry& m : metadata) {
    if (!is_valid_key(m.key)) misuse("bad metadata key '" + m.key + "'");
  }
  impl_->metadata = std::move(metadata);
}

void DataLibrary::assign_handle(std::string_view handle, std::string_view kind) {
  impl_->require_active("assign_handle");
  if (kind != "fields()") misuse("unknown handle kind '" + std::string(kind) + "'");
  if (handle.empty() || handle.find('.') != std::string_view::npos) {
    misuse("bad handle name '" + std::string(handle) + "'");
  }
  for (const Impl::Handle& h : impl_->handles) {
    if (h.name == handle) misuse("handle '" + std::string(handle) + "' assigned twice");
  }
  impl_->handles.push_back({std::string(handle), {}});
}

void DataLibrary::transfer(std::string_view path, std::string_view direction,
                           std::string_view type_name, const void* value, int rank, int extent) {
  impl_->require_active("transfer");
  if (direction != "<--") misuse("unknown transfer direction '" + std::string(direction) + "'");
  const std::size_t dot = path.find('.');
  if (dot == std::string_view::npos) misuse("field path '" + std::string(path) + "' has no handle");
  Impl::Handle& h = impl_->handle(path.substr(0, dot), "transfer");
  const std::string_view name = path.substr(dot + 1);
  if (name.empty()) misuse("empty field name in '" + std::string(path) + "'");
  if (!is_valid_key(name)) misuse("bad character in field name '" + std::string(path) + "'");
  const auto type = parse_type_name(type_name);
  if (!type) misuse("unknown type name '" + std::string(type_name) + "'");
  const bool scalar = *type == FieldType::Int32 || *type == FieldType::Float32;
  if (scalar ? (rank != 0 || extent != 0) : (rank != 1 || extent < 0)) {
    misuse("rank/extent " + std::to_string(rank) + "/" + std::to_string(extent) +
           " do not fit type " + std::string(type_name) + " of " + std::string(path));
  }
  if (value == nullptr && (scalar || extent > 0)) misuse("no value for " + std::string(path));

  Field f;
  f.name = name;
  f.type = *type;
  f.extent = extent;
  const auto n = static_cast<std::size_t>(extent);
  switch (f.type) {
    case FieldType::String:
      f.text.assign(static_cast<const char*>(value), n);
      break;
    case FieldType::Int32:
      std::memcpy(&f.int_value, value, sizeof f.int_value);
      break;
    case FieldType::Float32:
      std::memcpy(&f.real_value, value, sizeof f.real_value);
      break;
    case FieldType::Float32Array:
      f.values.resize(n);
      if (n > 0) std::memcpy(f.values.data(), value, n * sizeof(float));
      break;
  }
  for (Field& old : h.fields) {
    if (old.name == f.name) {
      old = std::move(f);  // a field stored again keeps its place
      return;
    }
  }
  h.fields.push_back(std::move(f));
}

void DataLibrary::select_destination(std::string_view file_name, std::string_view format) {
  impl_->require_active("select_destination");
  if (format != "K2") misuse("unknown file format '" + std::string(format) + "'");
  const std::string_view name = trim_blanks(file_name);
  if (name.empty()) misuse("blank destination file name");
  if (name.find('\0') != std::string_view::npos) {
    fail_file(" Cannot create output file ",
              std::string(trim_blanks(name.substr(0, name.find('\0')))), EINVAL);
  }
  impl_->destination = name;
}

void DataLibrary::put(std::string_view handle, std::string_view what, int /*flags*/,
                      std::string_view status, std::string_view /*description*/) {
  impl_->require_active("put");
  Impl::Handle& h = impl_->handle(handle, "put");
  if (what != "data") misuse("put of '" + std::string(what) + "'");
  if (impl_->destination.empty()) misuse("put before select_destination");
  const std::string_view st = trim_blanks(status);
  if (!st.empty() && st != "new") misuse("unknown put status '" + std::string(status) + "'");
  const bool is_new = st == "new";

  Output* out = impl_->find_output(impl_->destination);
  if (out == nullptr) {
    Output fresh;
    fresh.name = impl_->destination;
    const std::size_t slash = fresh.name.rfind('/');
    fresh.dir = slash == std::string::npos ? "" : fresh.name.substr(0, slash + 1);
    fresh.base = slash == std::string::npos ? fresh.name : fresh.name.substr(slash + 1);
    impl_->outputs.push_back(std::move(fresh));
    out = &impl_->outputs.back();
  }
  try {
    if (out->fd < 0 || is_new) impl_->start(*out, is_new);
    write_all(out->fd, format_block(out->blocks + 1, h.fields), out->name);
    ++out->blocks;
  } catch (...) {
    // A destination that failed is given up: no partial block may ever be renamed.
    discard(*out);
    impl_->outputs.erase(impl_->outputs.begin() + (out - impl_->outputs.data()));
    throw;
  }
}

void DataLibrary::release_handle(std::string_view handle) {
  impl_->require_active("release_handle");
  auto& hs = impl_->handles;
  for (auto it = hs.begin(); it != hs.end(); ++it) {
    if (it->name == handle) {
      hs.erase(it);
      return;
    }
  }
  misuse("release_handle on handle '" + std::string(handle) + "' not assigned");
}

void DataLibrary::deactivate_session() {
  impl_->require_active("deactivate_session");
  if (!impl_->handles.empty())
    misuse("deactivate_session with handle '" + impl_->handles.front().name + "' still assigned");
  impl_->active = false;
  impl_->destination.clear();
  try {
    for (Output& out : impl_->outputs) impl_->commit(out);
  } catch (...) {
    impl_->discard_all();
    throw;
  }
  impl_->outputs.clear();
}

void check_destination(std::string_view file_name) {
  Output out;
  out.name = trim_blanks(file_name);
  const std::size_t slash = out.name.rfind('/');
  out.dir = slash == std::string::npos ? "" : out.name.substr(0, slash + 1);
  out.base = slash == std::string::npos ? out.name : out.name.substr(slash + 1);
  DataLibrary::Impl probe;
  probe.create_temp(out);
  discard(out);
}

void abandon_active_sessions() noexcept {
  for (TempSlot& s : g_temp_slots) {
    if (s.state.load(std::memory_order_acquire) == kSlotArmed) ::unlink(s.path);
  }
}

}  // namespace zalmor::output
