// The library's file life cycle: new and added blocks, temporary file, rename, failures.
#include "output/datafile.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "output/ioq_reader.hpp"
#include "scratch_dir.hpp"
#include "util/errors.hpp"

namespace zalmor::output {
namespace {

using testing::ScratchDir;
using testing::slurp;
using testing::spit;

// One block with a single int32 field "k" holding `k`.
void put_block(DataLibrary& lib, const std::string& file, int k, const char* status) {
  lib.assign_handle("h", "fields()");
  lib.transfer("h.k", "<--", "int32", &k, 0, 0);
  lib.select_destination(file, "K2");
  lib.put("h", "data", 0, status, "Data points");
  lib.release_handle("h");
}

std::vector<int> block_values(const std::string& path) {
  std::vector<int> ks;
  for (const IoqBlock& b : read_ioq(path).blocks) ks.push_back(b.find("k")->int_value);
  return ks;
}

std::string fatal_message(const std::function<void()>& f) {
  try {
    f();
  } catch (const util::FatalError& e) {
    return e.what();
  }
  return "(no FatalError)";
}

TEST(DataLibrary, AddsBlocksAndRestartsOnNew) {
  ScratchDir dir;
  const std::string out = dir.file("run.ioq");
  DataLibrary lib;
  lib.activate_session("kavor", 0, 0.0f);
  put_block(lib, out, 1, "new");
  put_block(lib, out, 2, "   ");
  put_block(lib, out, 3, "new");  // the two blocks before are dropped
  put_block(lib, out, 4, "   ");
  lib.deactivate_session();
  EXPECT_EQ(block_values(out), (std::vector<int>{3, 4}));
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"run.ioq"});
}

TEST(DataLibrary, PaddedNameIsTrimmed) {
  ScratchDir dir;
  std::string padded = dir.file("pad.ioq");
  padded.resize(80, ' ');
  DataLibrary lib;
  lib.activate_session("kavor", 0, 0.0f);
  put_block(lib, padded, 1, "new");
  lib.deactivate_session();
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"pad.ioq"});
}

TEST(DataLibrary, EarlierFileStaysUntilDeactivate) {
  ScratchDir dir;
  const std::string out = dir.file("run.ioq");
  spit(out, "earlier run\n");
  DataLibrary lib;
  lib.activate_session("kavor", 0, 0.0f);
  put_block(lib, out, 1, "new");
  EXPECT_EQ(slurp(out), "earlier run\n");
  const auto during = dir.entries();
  ASSERT_EQ(during.size(), 2u);
  lib.deactivate_session();
  EXPECT_EQ(block_values(out), std::vector<int>{1});
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"run.ioq"});
}

TEST(DataLibrary, DestructionOrSignalPathRemovesTheTemporaryFile) {
  for (const bool via_signal_path : {false, true}) {
    ScratchDir dir;
    const std::string out = dir.file("run.ioq");
    spit(out, "earlier run\n");
    {
      DataLibrary lib;
      lib.activate_session("kavor", 0, 0.0f);
      put_block(lib, out, 1, "new");
      if (via_signal_path) {
        abandon_active_sessions();
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"run.ioq"});
      }
    }
    EXPECT_EQ(slurp(out), "earlier run\n");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"run.ioq"});
  }
}

TEST(DataLibrary, SessionWithoutBlocksWritesNothing) {
  ScratchDir dir;
  DataLibrary lib;
  lib.activate_session("kavor", 0, 0.0f);
  lib.assign_handle("h", "fields()");
  lib.select_destination(dir.file("run.ioq"), "K2");
  lib.release_handle("h");
  lib.deactivate_session();
  EXPECT_TRUE(dir.entries().empty());
}

TEST(DataLibrary, AddingWithoutNewContinuesTheFileOnDisk) {
  ScratchDir dir;
  const std::string out = dir.file("run.ioq");
  for (int k = 1; k <= 2; ++k) {
    DataLibrary lib;
    lib.activate_session("kavor", 0, 0.0f);
    put_block(lib, out, k, k == 1 ? "new" : "   ");
    lib.deactivate_session();
  }
  EXPECT_EQ(block_values(out), (std::vector<int>{1, 2}));

  spit(out, "not ours\n");
  DataLibrary lib;
  lib.activate_session("kavor", 0, 0.0f);
  EXPECT_EQ(fatal_message([&] { put_block(lib, out, 3, "   "); }),
            " Cannot add to output file " + out + ": it is not a zalmor-ioq file");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"run.ioq"});
}

TEST(DataLibrary, FailuresNameTheFileAndReason) {
  ScratchDir dir;
  const std::string missing = dir.file("no/such/dir/run.ioq");
  const std::string a_dir = dir.file("sub");
  ASSERT_EQ(::mkdir(a_dir.c_str(), 0777), 0);
  const std::string under_file = dir.file("plain/run.ioq");
  spit(dir.file("plain"), "x");
  for (const auto& [file, message] : {
           std::pair{missing,
                     " Cannot create output file " + missing + ": No such file or directory"},
           std::pair{a_dir, " Cannot create output file " + a_dir + ": Is a directory"},
           std::pair{under_file, " Cannot create output file " + under_file + ": Not a directory"},
       }) {
    DataLibrary lib;
    lib.activate_session("kavor", 0, 0.0f);
    EXPECT_EQ(fatal_message([&] { put_block(lib, file, 1, "new"); }), message);
  }

  // The destination turns into a directory while the run writes: the rename fails, and
  // the temporary file goes.
  const std::string late = dir.file("late.ioq");
  DataLibrary lib;
  lib.activate_session("kavor", 0, 0.0f);
  put_block(lib, late, 1, "new");
  ASSERT_EQ(::mkdir(late.c_str(), 0777), 0);
  spit(late + "/keep", "x");
  EXPECT_EQ(fatal_message([&] { lib.deactivate_session(); }),
            " Cannot replace output file " + late + ": Is a directory");
  const auto left = dir.entries();
  EXPECT_EQ(left.size(), 3u);  // sub, plain and late.ioq/
}

TEST(DataLibrary, WriteFailureGivesUpTheFile) {
  // A file size limit makes the block's write fail; in a child, so the limit stays there.
  ScratchDir dir;
  const std::string out = dir.file("big.ioq");
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit lim{100, 100};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    const std::vector<float> x(1000, 1.5f);
    DataLibrary lib;
    lib.activate_session("kavor", 0, 0.0f);
    lib.assign_handle("h", "fields()");
    lib.transfer("h.x", "<--", "float32[]", x.data(), 1, 1000);
    lib.select_destination(out, "K2");
    const std::string msg = fatal_message([&] { lib.put("h", "data", 0, "new", "Data points"); });
    const bool ok =
        msg == " Cannot write output file " + out + ": File too large" && dir.entries().empty();
    ::_exit(ok ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  int status = -1;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(DataLibrary, UnwritableDirectory) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  ScratchDir dir;
  const std::string ro = dir.file("ro");
  ASSERT_EQ(::mkdir(ro.c_str(), 0555), 0);
  DataLibrary lib;
  lib.activate_session("kavor", 0, 0.0f);
  EXPECT_EQ(fatal_message([&] { put_block(lib, ro + "/run.ioq", 1, "new"); }),
            " Cannot create output file " + ro + "/run.ioq: Permission denied");
}

TEST(DataLibrary, StartingAFileRemovesStaleTemporariesOfEndedRuns) {
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);  // its pid is now a process that has ended

  ScratchDir dir;
  const std::string base = ".run.ioq." + std::string(host) + ".";
  const std::string stale = base + std::to_string(child) + ".0.tmp";
  const std::string live = base + std::to_string(::getppid()) + ".0.tmp";
  const std::string other =
      ".other.ioq." + std::string(host) + "." + std::to_string(child) + ".0.tmp";
  for (const auto& n : {stale, live, other}) spit(dir.file(n), "partial");

  DataLibrary lib;
  lib.activate_session("kavor", 0, 0.0f);
  put_block(lib, dir.file("run.ioq"), 1, "new");
  lib.deactivate_session();
  auto left = dir.entries();
  std::sort(left.begin(), left.end());
  std::vector<std::string> expected = {live, other, "run.ioq"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
}

TEST(DataLibrary, WrongUseIsAProgrammingError) {
  ScratchDir dir;
  const std::string out = dir.file("run.ioq");
  const int v = 1;
  const std::vector<std::pair<const char*, std::function<void(DataLibrary&)>>> cases = {
      {"transfer without handle",
       [&](DataLibrary& l) { l.transfer("h.k", "<--", "int32", &v, 0, 0); }},
      {"put before select",
       [&](DataLibrary& l) {
         l.assign_handle("h", "fields()");
         l.put("h", "data", 0, "new", "Data points");
       }},
      {"unknown type",
       [&](DataLibrary& l) {
         l.assign_handle("h", "fields()");
         l.transfer("h.k", "<--", "int64", &v, 0, 0);
       }},
      {"scalar with extent",
       [&](DataLibrary& l) {
         l.assign_handle("h", "fields()");
         l.transfer("h.k", "<--", "int32", &v, 1, 1);
       }},
      {"unknown status",
       [&](DataLibrary& l) {
         l.assign_handle("h", "fields()");
         l.select_destination(out, "K2");
         l.put("h", "data", 0, "old", "Data points");
       }},
      {"handle twice",
       [&](DataLibrary& l) {
         l.assign_handle("h", "fields()");
         l.assign_handle("h", "fields()");
       }},
      {"activate twice", [&](DataLibrary& l) { l.activate_session("kavor", 0, 0.0f); }},
  };
  for (const auto& [what, call] : cases) {
    DataLibrary lib;
    lib.activate_session("kavor", 0, 0.0f);
    EXPECT_THROW(call(lib), std::logic_error) << what;
  }
  DataLibrary inactive;
  EXPECT_THROW(inactive.assign_handle("h", "fields()"), std::logic_error);
  EXPECT_TRUE(dir.entries().empty());
}

}  // namespace
}  // namespace zalmor::output
