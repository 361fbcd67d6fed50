// Fuzzes the whole run in-process: the dialogue, the calculation and the output file. The
// input is a model, a .urms file and the answers, separated by lines "%%" (with no
// separator it is all answers, for a built-in model and .urms file). A run must either
// end normally with a whole .ioq file whose every value is finite, or stop with a message
// and leave no file of its own behind; nothing else may leave the run.
//
// The runs stay small: a model is at most 2 kB of text, and a delta-Q answer that would
// give more than 64 Q values is replaced by one giving 8 (the Q grid's own checks still
// see every Qmax). Output names are kept inside the scratch folder.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "driver/run.hpp"
#include "fuzz_support.hpp"
#include "output/ioq_reader.hpp"
#include "util/console.hpp"
#include "util/errors.hpp"
#include "util/parse.hpp"

namespace {

namespace fs = std::filesystem;
namespace util = zalmor::util;
using zalmor::fuzz::require;

constexpr std::size_t kMaxModelText = 2048;
constexpr double kMaxQValues = 64;

constexpr std::string_view kModel = "tiny\n1 1 0 0 0\n2 1 1.1 0 0\n3 2 0 1.2 0\n4 1 0 0 1.3\n";
constexpr std::string_view kUrms =
    "5\n1 1 1 1 0.05\n2 2 1 1 0.06\n1 2 1 3 0.06 2.0 0.08 3.0 0.1\n"
    "2 1 2 2 0.06 2.5 0.12 0.0 0.0\n0 0 3 2 0.06 2.6 300.0 28.09 28.09 645.0 645.0 1.5 1.5\n";

// The scratch folder of this process: the working folder for every run.
const fs::path& scratch() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("zalmor_fuzz_run_" + std::to_string(::getpid()));
    fs::create_directories(d / "sub");
    fs::create_directories(d / "d.ioq");  // an output name that is a folder
    fs::current_path(d);
    std::atexit([] {
      std::error_code ec;
      fs::current_path(fs::temp_directory_path(), ec);
      fs::remove_all(fs::temp_directory_path() / ("zalmor_fuzz_run_" + std::to_string(::getpid())),
                     ec);
    });
    return d;
  }();
  return dir;
}

// Every file and folder under the scratch folder, sorted.
std::vector<std::string> entries() {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(scratch())) {
    names.push_back(fs::relative(e.path(), scratch()).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void spit(const std::string& name, std::string_view text) {
  std::ofstream(name, std::ios::binary | std::ios::trunc)
      .write(text.data(), static_cast<std::streamsize>(text.size()));
}

// Standard input of the run: the answer lines, handed out one by one when the program
// reads, so each can be seen against the prompt it answers.
class Answers : public std::streambuf {
 public:
  Answers(std::string_view text, const std::ostringstream& out) : out_(out) {
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t end = text.find('\n', at);
      if (end == std::string_view::npos) {
        lines_.emplace_back(text.substr(at));
        last_has_end_ = false;
        break;
      }
      lines_.emplace_back(text.substr(at, end - at));
      at = end + 1;
    }
  }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (next_ >= lines_.size()) return traits_type::eof();
    current_ = adjust(lines_[next_]);
    if (next_ + 1 < lines_.size() || last_has_end_) current_ += '\n';
    ++next_;
    if (current_.empty()) return traits_type::eof();
    setg(current_.data(), current_.data(), current_.data() + current_.size());
    return traits_type::to_int_type(*gptr());
  }

 private:
  std::string last_prompt() const {
    const std::string text = out_.str();
    const std::size_t at = text.rfind(" Give ");
    return at == std::string::npos ? std::string() : text.substr(at);
  }

  static std::string_view first_line(std::string_view answer) {
    return answer.substr(0, answer.find('\r'));
  }

  std::string adjust(const std::string& answer) {
    const std::string prompt = last_prompt();
    const util::Parsed<float> parsed = util::parse_real(first_line(answer).substr(0, 80));
    if (prompt.starts_with(" Give Qmax")) {
      // Each pass starts from the default; what is not a value leaves it.
      qmax_ = parsed.status == util::ParseStatus::Value ? parsed.value : 50.0f;
    } else if (prompt.starts_with(" Give delta-Q")) {
      float dq = 0.02f;
      if (parsed.status == util::ParseStatus::Value) dq = parsed.value;
      dq_ = dq;
      const double ratio = std::fabs(static_cast<double>(qmax_) / dq);
      if (!(ratio <= kMaxQValues) && qmax_ != 0.0f && std::isfinite(qmax_)) {
        std::ostringstream replaced;
        replaced.precision(9);
        replaced << qmax_ / 8.0f;
        dq_ = util::parse_real(replaced.str()).value;
        return replaced.str();
      }
    } else if (prompt.starts_with(" Give 1 to start at Q=0")) {
      const util::Parsed<int> start = util::parse_int(first_line(answer).substr(0, 80));
      from_zero_ = start.status == util::ParseStatus::Value && start.value == 1;
    } else if (prompt.starts_with(" Give name for output")) {
      // Inside the scratch folder: no absolute name, no way up.
      if (answer.starts_with('/') || answer.find("..") != std::string::npos) return "out";
    }
    return answer;
  }

  const std::ostringstream& out_;
  std::vector<std::string> lines_;
  bool last_has_end_ = true;
  std::size_t next_ = 0;
  std::string current_;
  float qmax_ = 50.0f;

 public:
  // The grid of the last Q answers, formed as the program forms it.
  std::vector<float> grid() const {
    const float ratio = qmax_ / dq_;
    if (!std::isfinite(ratio) || std::fabs(ratio) >= 2.0e9f) return {};
    const auto n = static_cast<int>(std::llround(ratio));
    return zalmor::driver::make_q_grid(qmax_, n, from_zero_);
  }

 private:
  float dq_ = 0.02f;
  bool from_zero_ = false;
};

std::size_t count_of(std::string_view text, std::string_view what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A finished run: the file it names is whole, and every value and zero-Q limit in it is
// finite.
void check_output(const std::string& console) {
  const std::size_t at = console.rfind(" Output file: ");
  require(at != std::string::npos, "a finished run named no output file");
  const std::size_t end = console.find('\n', at);
  const std::string name = console.substr(at + 14, end - at - 14);
  zalmor::output::IoqFile file;
  try {
    file = zalmor::output::read_ioq(name);
  } catch (const zalmor::output::IoqError&) {
    require(false, "a finished run left an output file that does not read back");
  }
  require(file.blocks.size() == count_of(console, "\n Block "), "blocks in file and on console");
  for (const auto& block : file.blocks) {
    for (const char* name_of : {"x", "y", "ut"}) {
      const zalmor::output::Field* f = block.find(name_of);
      require(f != nullptr, "a block lacks a field");
      for (const float v : f->values) require(std::isfinite(v), "a value is not finite");
    }
  }
}

// With ZALMOR_FUZZ_STATS set, how the runs ended is counted and printed at exit: the
// finished runs, and the stopped ones by the first words of their message.
struct Outcomes {
  std::map<std::string, long> counts;
  bool enabled = std::getenv("ZALMOR_FUZZ_STATS") != nullptr;
  void add(std::string_view message) {
    if (!enabled) return;
    const std::size_t cut = std::min(message.find_first_of("0123456789\n"), std::size_t{48});
    std::string key(message.substr(0, cut));
    if (message.find("not finite") != std::string_view::npos) key += "(not finite)";
    ++counts[key];
  }
  ~Outcomes() {
    for (const auto& [what, n] : counts) std::fprintf(stderr, "%8ld  %s\n", n, what.c_str());
  }
};
Outcomes outcomes;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = zalmor::fuzz::as_text(data, size);
  scratch();
  for (const std::string& name : entries()) {
    if (name != "sub" && name != "d.ioq") fs::remove_all(scratch() / name);
  }

  std::string_view model = kModel, urms = kUrms, answers = input;
  if (const std::size_t first = input.find("\n%%\n"); first != std::string_view::npos) {
    model = input.substr(0, std::min(first + 1, kMaxModelText));
    const std::string_view rest = input.substr(first + 4);
    const std::size_t second = rest.find("\n%%\n");
    urms = rest.substr(0, second == std::string_view::npos ? rest.size() : second + 1);
    answers = second == std::string_view::npos ? std::string_view{} : rest.substr(second + 4);
  }
  spit("m.coords", model);
  spit("m.urms", urms);
  const std::vector<std::string> before = entries();

  std::ostringstream out, err;
  Answers buffer(answers, out);
  std::istream in(&buffer);
  util::Console console(in, out, err);
  bool finished = false;
  try {
    require(zalmor::driver::run(console) == 0, "a run returned a status other than 0");
    finished = true;
    outcomes.add("finished");
  } catch (const util::FatalError& e) {
    require(std::string_view(e.what()).size() > 1, "a run stopped without a message");
    // A grid is refused only for a value that is not a finite float.
    if (std::string_view(e.what()).find(" of the grid ") != std::string_view::npos) {
      const std::vector<float> q = buffer.grid();
      require(std::any_of(q.begin(), q.end(), [](float v) { return !std::isfinite(v); }),
              "a finite Q grid was refused");
    }
    outcomes.add(std::string("stopped:") + e.what());
  } catch (const util::StopRequested& e) {
    require(std::string_view(e.what()).size() > 0, "a chosen stop without a message");
    outcomes.add(std::string("stop chosen: ") + e.what());
  } catch (const util::InputError& e) {
    require(std::string_view(e.what()).size() > 0, "an unreadable answer without a message");
    outcomes.add(std::string("input error: ") + e.what());
  }

  for (const std::string& name : entries()) {
    require(!name.ends_with(".tmp"), "a temporary file was left behind");
  }
  if (finished) {
    check_output(out.str());
  } else {
    // A run that stops writes nothing: only the folder's files from before may be there.
    require(entries() == before, "a stopped run left a file");
  }
  return 0;
}
