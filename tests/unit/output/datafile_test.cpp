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
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "output/ioq_reader.hpp"
#include "support/scratch_dir.hpp"
#include "util/errors.hpp"

namespace zalmor::output {
namespace {

using test_support::ScratchDir;
using test_support::slurp;
using test_support::spit;
using Names = std::vector<std::string>;

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

// A scratch folder with an active session whose destination is run.ioq there.
struct Library : ::testing::Test {
  Library() { lib.activate_session("kavor", 0, 0.0f); }
  ScratchDir dir;
  std::string out = dir.file("run.ioq");
  DataLibrary lib;  // after dir: its temporary file goes first
};

TEST_F(Library, NewRestartsBlanksAddAndTheEarlierFileStaysUntilDeactivate) {
  spit(out, "earlier run\n");
  std::string padded = out;
  padded.resize(80, ' ');
  put_block(lib, padded, 1, "new");
  put_block(lib, out, 2, "   ");
  EXPECT_EQ(slurp(out), "earlier run\n");
  EXPECT_EQ(dir.entries().size(), 2u);  // and the temporary file
  put_block(lib, out, 3, "new");        // the two blocks before are dropped
  put_block(lib, out, 4, "   ");
  lib.deactivate_session();
  EXPECT_EQ(block_values(out), (std::vector<int>{3, 4}));
  EXPECT_EQ(dir.entries(), Names{"run.ioq"});
  // A later session that adds without "new" continues the file on disk, if it is one of ours.
  lib.activate_session("kavor", 0, 0.0f);
  put_block(lib, out, 5, "   ");
  lib.deactivate_session();
  EXPECT_EQ(block_values(out), (std::vector<int>{3, 4, 5}));
  spit(out, "not ours\n");
  lib.activate_session("kavor", 0, 0.0f);
  EXPECT_EQ(fatal_message([&] { put_block(lib, out, 6, "   "); }),
            " Cannot add to output file " + out + ": it is not a zalmor-ioq file");
  EXPECT_EQ(dir.entries(), Names{"run.ioq"});
}

TEST_F(Library, NewFilesCarryTheMetadataAndContinuedFilesKeepTheirOwn) {
  const std::vector<MetaEntry> meta{{"program", "zalmor"}, {"answer", "a \"b\""}};
  lib.set_file_metadata(meta);
  put_block(lib, out, 1, "new");
  lib.deactivate_session();
  EXPECT_TRUE(slurp(out).starts_with(
      "# zalmor-ioq 2\n# meta program \"zalmor\"\n# meta answer \"a \\\"b\\\"\"\n# block 1\n"));
  // A version-1 file stays version 1; a version-2 file keeps the metadata of its first run.
  const std::string v1 = "# zalmor-ioq 1\n# block 1\n# field k int32 0 7\n# rows 0 columns\n";
  const std::string v2 = slurp(out);
  for (const std::string& earlier : {v1, v2}) {
    spit(out, earlier);
    lib.activate_session("kavor", 0, 0.0f);
    lib.set_file_metadata({{"answer", "other run"}});
    put_block(lib, out, 9, "   ");
    lib.deactivate_session();
    const IoqFile file = read_ioq(out);
    EXPECT_EQ(file.version, earlier == v1 ? 1 : 2);
    EXPECT_EQ(file.metadata, earlier == v1 ? std::vector<MetaEntry>{} : meta);
    EXPECT_EQ(file.blocks.back().find("k")->int_value, 9);
    EXPECT_TRUE(slurp(out).starts_with(earlier));
  }
  EXPECT_THROW(lib.set_file_metadata({{"two words", "x"}}), std::logic_error);
}

TEST_F(Library, AnAbandonedOrDestroyedSessionLeavesTheEarlierFile) {
  spit(out, "earlier run\n");
  put_block(lib, out, 1, "new");
  abandon_active_sessions();  // as a signal handler does
  EXPECT_EQ(dir.entries(), Names{"run.ioq"});
  {
    DataLibrary other;
    other.activate_session("kavor", 0, 0.0f);
    put_block(other, out, 2, "new");
  }
  EXPECT_EQ(slurp(out), "earlier run\n");
  EXPECT_EQ(dir.entries(), Names{"run.ioq"});
}

TEST_F(Library, FailuresNameTheFileAndReasonAndLeaveNoTemporaryFile) {
  const std::string missing = dir.file("no/such/dir/run.ioq"), a_dir = dir.file("sub");
  const std::string under_file = dir.file("plain/run.ioq"), ro = dir.file("ro");
  ASSERT_EQ(::mkdir(a_dir.c_str(), 0777), 0);
  ASSERT_EQ(::mkdir(ro.c_str(), 0555), 0);
  spit(dir.file("plain"), "x");
  std::vector<std::pair<std::string, std::string>> cases = {
      {missing, "No such file or directory"},
      {a_dir, "Is a directory"},
      {under_file, "Not a directory"},
  };
  const std::string locked = dir.file("locked.ioq");  // in a folder that would allow a rename
  spit(locked, "x");
  ASSERT_EQ(::chmod(locked.c_str(), 0444), 0);
  if (::geteuid() != 0) {  // permissions do not bind root
    cases.emplace_back(ro + "/run.ioq", "Permission denied");
    cases.emplace_back(locked, "Permission denied");
  }
  for (const auto& one : cases) {
    // Named copies, not a structured binding: clang 14 cannot capture those in a lambda.
    const std::string& file = one.first;
    const std::string& reason = one.second;
    // The check before a calculation says what the first block's put would say.
    EXPECT_EQ(fatal_message([&] { check_destination(file); }),
              " Cannot create output file " + file + ": " + reason);
    EXPECT_EQ(fatal_message([&] { put_block(lib, file, 1, "new"); }),
              " Cannot create output file " + file + ": " + reason);
    lib.release_handle("h");
  }
  EXPECT_EQ(fatal_message([&] { check_destination(out + "   "); }), "(no FatalError)");
  // The destination turns into a directory while the run writes: the rename fails, and
  // the temporary file goes.
  put_block(lib, out, 1, "new");
  ASSERT_EQ(::mkdir(out.c_str(), 0777), 0);
  spit(out + "/keep", "x");
  EXPECT_EQ(fatal_message([&] { lib.deactivate_session(); }),
            " Cannot replace output file " + out + ": Is a directory");
  Names left = dir.entries();
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (Names{"locked.ioq", "plain", "ro", "run.ioq", "sub"}));
}

TEST_F(Library, ReplacedFileKeepsItsMode) {
  spit(out, "an earlier result");
  ASSERT_EQ(::chmod(out.c_str(), 0640), 0);
  put_block(lib, out, 1, "new");
  lib.deactivate_session();
  struct stat st {};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(block_values(out), std::vector<int>{1});
}

TEST_F(Library, WriteFailureGivesUpTheFile) {
  // A file size limit makes the block's write fail; in a child, so the limit stays there.
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit lim{40, 40};  // room for the file's first line, not for the block
    ::setrlimit(RLIMIT_FSIZE, &lim);
    const std::string msg = fatal_message([&] { put_block(lib, out, 1, "new"); });
    const bool ok = msg == " Cannot write output file " + out + ": File too large";
    ::_exit(ok && dir.entries().empty() ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  int status = -1;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(Library, StartingAFileRemovesStaleTemporariesOfEndedRuns) {
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);  // its pid is now a process that has ended
  const std::string base = ".run.ioq." + std::string(host) + ".";
  const std::string stale = base + std::to_string(child) + ".0.tmp";
  const std::string live = base + std::to_string(::getppid()) + ".0.tmp";
  const std::string other = ".other" + stale.substr(4);
  const std::string elsewhere = ".run.ioq.elsewhere." + std::to_string(child) + ".0.tmp";
  for (const auto& n : {stale, live, other, elsewhere}) spit(dir.file(n), "partial");
  put_block(lib, out, 1, "new");
  lib.deactivate_session();
  Names left = dir.entries(), expected = {live, other, elsewhere, "run.ioq"};
  std::sort(left.begin(), left.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
}

TEST_F(Library, WrongUseIsAProgrammingErrorAndSilentSessionsWriteNothing) {
  const auto with_handle = [] {
    auto l = std::make_unique<DataLibrary>();
    l->activate_session("kavor", 0, 0.0f);
    l->assign_handle("h", "fields()");
    return l;
  };
  const int v = 1;
  EXPECT_THROW(with_handle()->transfer("g.k", "<--", "int32", &v, 0, 0), std::logic_error);
  EXPECT_THROW(with_handle()->transfer("h.k", "<--", "int64", &v, 0, 0), std::logic_error);
  EXPECT_THROW(with_handle()->transfer("h.k", "<--", "int32", &v, 1, 1), std::logic_error);
  EXPECT_THROW(with_handle()->put("h", "data", 0, "new", "Data points"), std::logic_error);
  EXPECT_THROW(with_handle()->assign_handle("h", "fields()"), std::logic_error);
  EXPECT_THROW(with_handle()->activate_session("kavor", 0, 0.0f), std::logic_error);
  EXPECT_THROW(DataLibrary().assign_handle("h", "fields()"), std::logic_error);
  lib.assign_handle("h", "fields()");
  lib.select_destination(out, "K2");
  EXPECT_THROW(lib.put("h", "data", 0, "old", "Data points"), std::logic_error);
  // A session that puts no block leaves no file.
  lib.release_handle("h");
  lib.deactivate_session();
  EXPECT_TRUE(dir.entries().empty());
}

}  // namespace
}  // namespace zalmor::output
