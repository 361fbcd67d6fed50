// zalmor._core: the Debye-sum engines and the .ioq text writer for the Python package.
// The Python layer (zalmor/__init__.py) turns atoms and elements into types and lengths;
// here the arrays go to the engines exactly as the program hands them over, so that the
// two give the same floats.
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "output/block_params.hpp"
#include "output/ioq_format.hpp"
#include "scatter/engine.hpp"
#include "scatter/pair_histogram.hpp"
#include "scatter/periodic.hpp"
#include "scatter/thermal.hpp"
#include "scatter/urms_reader.hpp"
#include "scatter/weights.hpp"
#include "util/coords_reader.hpp"
#include "util/errors.hpp"
#include "util/limits.hpp"
#include "util/memory.hpp"

namespace py = pybind11;
namespace zs = zalmor::scatter;

namespace {

using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;
using IntArray = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;

std::vector<std::pair<int, int>> partials_as_tuples(int ntypes) {
  std::vector<std::pair<int, int>> out;
  for (const zs::TypePair& p : zs::partial_pairs(ntypes)) out.emplace_back(p.first, p.second);
  return out;
}

void check_ntypes(int ntypes) {
  if (ntypes < 1 || ntypes > zalmor::kMaxTypes) {
    throw py::value_error("the number of atom types must be 1 to " +
                          std::to_string(zalmor::kMaxTypes) + ", not " + std::to_string(ntypes));
  }
}

zalmor::util::Model make_model(const FloatArray& xyz, const IntArray& types, int ntypes) {
  const auto natoms = static_cast<std::size_t>(types.size());
  if (xyz.ndim() != 2 || xyz.shape(1) != 3 || static_cast<std::size_t>(xyz.shape(0)) != natoms) {
    throw py::value_error("positions must be an N x 3 array with one row per type number");
  }
  zalmor::util::Model model;
  model.xyz.assign(xyz.data(), xyz.data() + xyz.size());
  model.type.assign(types.data(), types.data() + types.size());
  for (const int t : model.type) {
    if (t < 1 || t > ntypes) {
      throw py::value_error("type number " + std::to_string(t) + " is outside 1.." +
                            std::to_string(ntypes));
    }
  }
  return model;
}

// A .urms record as Python holds it: (itype1, itype2, imode, urms, rbreak, a1, a2, amass1,
// amass2, theta1, theta2, qdebye1, qdebye2, temp), the values those of the program's reader.
using RecordTuple = std::tuple<int, int, int, std::vector<float>, std::vector<float>, float, float,
                               float, float, float, float, float, float, float>;

RecordTuple record_tuple(const zs::UrmsRecord& r) {
  const auto n = static_cast<std::size_t>(std::max(0, r.npoint));
  std::vector<float> u(r.urms.begin(), r.urms.begin() + static_cast<std::ptrdiff_t>(n));
  std::vector<float> breaks(r.rbreak.begin(),
                            r.rbreak.begin() + static_cast<std::ptrdiff_t>(n > 0 ? n - 1 : 0));
  return {r.itype1, r.itype2, r.imode,  std::move(u), std::move(breaks), r.a1,      r.a2,
          r.amass1, r.amass2, r.theta1, r.theta2,     r.qdebye1,         r.qdebye2, r.temp};
}

zs::UrmsTable make_table(const std::vector<RecordTuple>& records) {
  if (records.size() > static_cast<std::size_t>(zs::kMaxUrmsRecords)) {
    throw py::value_error("at most " + std::to_string(zs::kMaxUrmsRecords) + " .urms records fit");
  }
  zs::UrmsTable table;
  for (const RecordTuple& t : records) {
    zs::UrmsRecord& r = table.records.emplace_back();
    const std::vector<float>& u = std::get<3>(t);
    const std::vector<float>& breaks = std::get<4>(t);
    if (u.empty() || u.size() > static_cast<std::size_t>(zs::kMaxUrmsPoints) ||
        breaks.size() + 1 != u.size()) {
      throw py::value_error("a .urms record needs 1 to 100 values u and one break fewer");
    }
    r.itype1 = std::get<0>(t);
    r.itype2 = std::get<1>(t);
    r.imode = std::get<2>(t);
    r.npoint = static_cast<int>(u.size());
    std::copy(u.begin(), u.end(), r.urms.begin());
    std::copy(breaks.begin(), breaks.end(), r.rbreak.begin());
    std::tie(r.a1, r.a2, r.amass1, r.amass2, r.theta1, r.theta2, r.qdebye1, r.qdebye2, r.temp) =
        std::tuple{std::get<5>(t),  std::get<6>(t),  std::get<7>(t),
                   std::get<8>(t),  std::get<9>(t),  std::get<10>(t),
                   std::get<11>(t), std::get<12>(t), std::get<13>(t)};
  }
  return table;
}

// The thermal choice beyond the option and its u values: option 3's break distance, and
// option 4's table and whether the total takes the (0, 0) record.
struct ThermalExtra {
  float rcut = 1.7f;
  const zs::UrmsTable* urms = nullptr;
  bool total_record = false;
};

// The request the program builds for the same answers (scatter::make_block_request).
zs::BlockRequest make_request(int ntypes, const std::vector<float>& bbar, float nnorm,
                              int thermal_option, const std::vector<float>& uij,
                              const ThermalExtra& extra = {}) {
  if (thermal_option < 0 || thermal_option > 4) {
    throw py::value_error("thermal option must be 0 to 4");
  }
  if (thermal_option == 4 && extra.urms == nullptr) {
    throw py::value_error("thermal option 4 needs .urms records");
  }
  if (thermal_option == 3 && uij.size() != 2) {
    throw py::value_error("thermal option 3 needs u of short and of long distances");
  }
  zs::Thermal thermal;
  thermal.option = static_cast<zs::ThermalOption>(thermal_option);
  // The dialogue's default for every slot it does not ask.
  thermal.uij.fill(0.05f);
  if (uij.size() > thermal.uij.size()) {
    throw py::value_error("at most " + std::to_string(thermal.uij.size()) +
                          " thermal values (one per partial) fit");
  }
  const auto npart = static_cast<std::size_t>(ntypes) * static_cast<std::size_t>(ntypes + 1) / 2;
  if (thermal_option == 2 && uij.size() != npart) {
    throw py::value_error("thermal option 2 needs one u per partial");
  }
  std::copy(uij.begin(), uij.end(), thermal.uij.begin());
  thermal.rcut = extra.rcut;
  if (thermal_option == 4) {
    thermal.urms = extra.urms;
    thermal.total_own_record = extra.total_record;
  }
  return zs::make_block_request(ntypes, bbar, nnorm, thermal);
}

// Runs `work` on a thread of its own, while the calling thread, holding the GIL only between
// waits of 0.1 s, runs the signal handlers Python has pending and passes the work's progress
// on to `progress`. A handler that raises (Ctrl-C's KeyboardInterrupt, a command's SIGTERM
// handler) or a progress function that raises stops the work at its next check (StopFlag),
// and what was raised is raised here once the work thread has ended, leaving the interpreter
// as usable as any interrupted call does. Outside the main thread Python runs no handlers:
// only progress stops the work there.
template <class Result>
Result run_interruptibly(const std::function<Result(const zs::Progress&)>& work,
                         const py::object& progress) {
  zs::StopFlag stop;
  std::atomic<double> fraction{-1.0};
  Result result{};
  std::exception_ptr failure;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::thread worker([&] {
    const zs::StopScope scope(&stop);
    try {
      result = work([&fraction](double f) { fraction.store(f, std::memory_order_relaxed); });
    } catch (...) {
      failure = std::current_exception();
    }
    const std::lock_guard<std::mutex> lock(mutex);
    done = true;
    finished.notify_one();
  });
  std::optional<py::error_already_set> raised;
  double reported = -1.0;
  const auto report = [&](double f) {
    if (raised || progress.is_none() || !(f > reported)) return;
    reported = f;
    try {
      progress(f);
    } catch (py::error_already_set& e) {
      raised = std::move(e);
      stop.request();
    }
  };
  for (bool over = false; !over;) {
    {
      const py::gil_scoped_release nogil;
      std::unique_lock<std::mutex> lock(mutex);
      over = finished.wait_for(lock, std::chrono::milliseconds(100), [&] { return done; });
    }
    if (!raised && PyErr_CheckSignals() != 0) {
      raised.emplace();
      stop.request();
    }
    report(fraction.load(std::memory_order_relaxed));
  }
  worker.join();
  if (raised) throw std::move(*raised);
  if (failure) std::rethrow_exception(failure);
  report(1.0);
  if (raised) throw std::move(*raised);
  return result;
}

// threads as Python gives it: None (the machine's count) or a whole number from 1; larger
// than any count of cores is as good as the most there are.
int thread_count(const py::object& threads) {
  if (threads.is_none()) return 0;
  // Anything with an integer's index (numpy's integers too), but not True and False.
  if (py::isinstance<py::bool_>(threads) || PyIndex_Check(threads.ptr()) == 0) {
    throw py::type_error("threads must be a whole number or None, not " +
                         std::string(py::repr(threads)));
  }
  const auto n = py::reinterpret_steal<py::int_>(PyNumber_Index(threads.ptr()));
  if (!n) throw py::error_already_set();
  if (n < py::int_(1)) {
    throw py::value_error("threads must be at least 1, not " + std::string(py::str(threads)));
  }
  return n > py::int_(1 << 20) ? (1 << 20) : n.cast<int>();
}

zs::Impl engine_of(const py::object& engine) {
  const std::optional<zs::Impl> impl =
      py::isinstance<py::str>(engine) ? zs::engine_named(engine.cast<std::string>()) : std::nullopt;
  if (!impl) {
    throw py::value_error("engine must be auto, pairs, moments or reference, not " +
                          std::string(py::repr(engine)));
  }
  return *impl;
}

void check_progress(const py::object& progress) {
  if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
    throw py::type_error("progress must be a function of the fraction done (0 to 1), not " +
                         std::string(py::repr(progress)));
  }
}

std::vector<std::string> thread_notes(const zs::ThreadStart& start, const py::object& asked) {
  if (start.threads >= start.wanted) return {};
  const std::string wanted =
      asked.is_none() ? std::to_string(start.wanted) : std::string(py::str(asked));
  return {"runs on " + std::to_string(start.threads) + " threads, not the " + wanted +
          " asked for (" + start.reason + ")"};
}

py::list float_arrays(const std::vector<std::vector<float>>& blocks) {
  py::list out;
  for (const std::vector<float>& block : blocks) {
    FloatArray array(static_cast<py::ssize_t>(block.size()));
    std::copy(block.begin(), block.end(), array.mutable_data());
    out.append(std::move(array));
  }
  return out;
}

// Every partial block, then the total (float32 arrays), each block's limit at Q = 0 and notes
// for the caller to warn with, of a finite model or, with a cell, a periodic box.
std::tuple<py::list, std::vector<float>, std::vector<std::string>> compute(
    const FloatArray& xyz, const IntArray& types, const FloatArray& q, int ntypes,
    const std::vector<float>& bbar, float nnorm, int thermal_option, const std::vector<float>& uij,
    const py::object& engine, const py::object& threads, const py::object& progress, float rcut,
    const std::vector<RecordTuple>& urms, bool total_record,
    const std::optional<std::array<double, 9>>& cell, std::optional<double> cutoff,
    const std::string& modification, std::size_t reserve) {
  check_ntypes(ntypes);
  if (q.ndim() != 1) throw py::value_error("q must be one-dimensional");
  const zs::Impl impl = engine_of(engine);
  const int wanted = thread_count(threads);
  check_progress(progress);
  const zalmor::util::Model model = make_model(xyz, types, ntypes);
  const zs::UrmsTable table = make_table(urms);
  zs::BlockRequest request =
      make_request(ntypes, bbar, nnorm, thermal_option, uij, {rcut, &table, total_record});
  if (cell) {
    if (!cutoff) throw py::value_error("a periodic box needs its cutoff");
    zs::PeriodicBox box{*cell, *cutoff, zs::Modification::kNone};
    if (modification == "sinc") {
      box.modification = zs::Modification::kSinc;
    } else if (modification != "none") {
      throw py::value_error("modification must be none or sinc, not '" + modification + "'");
    }
    request.box = box;
  }
  const std::vector<float> qv(q.data(), q.data() + q.size());
  // The arrays handed to Python are a copy of the blocks.
  const std::size_t copies = (request.partials.size() + 1) * qv.size() * sizeof(float);
  const zs::Calculation calc = run_interruptibly<zs::Calculation>(
      [&](const zs::Progress& report) {
        return zs::calculate(impl, model, qv, request, wanted, report, copies + reserve);
      },
      progress);
  return {float_arrays(calc.blocks), calc.zero_q, thread_notes(calc.threads, threads)};
}

// The jobs a finite model's pairs are shared out in (scatter::plan_pair_blocks): a list of
// (ranges, weight), ranges a list of (first, end) atom indices. blocks: None (enough for
// workers) or a whole number.
std::vector<std::pair<std::vector<std::pair<int, int>>, double>> pair_block_jobs(
    int natoms, int workers, const py::object& blocks) {
  std::optional<long long> k;
  if (!blocks.is_none()) {
    if (py::isinstance<py::bool_>(blocks) || PyIndex_Check(blocks.ptr()) == 0) {
      throw py::type_error("pair_blocks must be a whole number, not " +
                           std::string(py::repr(blocks)));
    }
    int overflow = 0;
    k = PyLong_AsLongLongAndOverflow(blocks.ptr(), &overflow);
    if (overflow != 0) k = overflow > 0 ? LLONG_MAX : LLONG_MIN;
  }
  std::vector<std::pair<std::vector<std::pair<int, int>>, double>> out;
  for (zs::PairBlockJob& job : zs::plan_pair_blocks(natoms, workers, k)) {
    out.emplace_back(std::move(job.ranges), job.weight);
  }
  return out;
}

// The pair-distance counts per type pair (rows in partial order) in nbins bins of dr, of a
// finite model or, with a cell, of a periodic box; and notes for the caller to warn with.
std::pair<py::array_t<std::int64_t>, std::vector<std::string>> pair_counts(
    const FloatArray& xyz, const IntArray& types, int ntypes, double dr, int nbins,
    const std::optional<std::array<double, 9>>& cell, const py::object& threads,
    std::size_t reserve) {
  check_ntypes(ntypes);
  const int wanted = thread_count(threads);
  const zalmor::util::Model model = make_model(xyz, types, ntypes);
  zs::ThreadStart start;
  const zs::PairHistogram hist = run_interruptibly<zs::PairHistogram>(
      [&](const zs::Progress&) {
        start = zs::start_threads(wanted);
        // The array handed to Python is a copy of the counts.
        const std::size_t copy = (static_cast<std::size_t>(ntypes) * (ntypes + 1) / 2) *
                                 static_cast<std::size_t>(std::max(nbins, 0)) *
                                 sizeof(std::int64_t);
        return cell ? zs::periodic_pair_histogram(model, *cell, ntypes, dr, nbins, start.threads,
                                                  copy + reserve)
                    : zs::pair_histogram(model, ntypes, dr, nbins, start.threads, copy + reserve);
      },
      py::none());
  const auto rows = static_cast<py::ssize_t>(hist.count.size()) / hist.nbins;
  py::array_t<std::int64_t> out({rows, static_cast<py::ssize_t>(hist.nbins)});
  std::copy(hist.count.begin(), hist.count.end(), out.mutable_data());
  return {out, thread_notes(start, threads)};
}

std::vector<float> zero_q(const std::vector<int>& count, const std::vector<float>& bbar,
                          float nnorm) {
  const int ntypes = static_cast<int>(count.size());
  check_ntypes(ntypes);
  if (bbar.size() != count.size()) {
    throw py::value_error("one scattering length per atom type is needed");
  }
  const std::vector<zs::TypePair> pairs = zs::partial_pairs(ntypes);
  return zs::zero_q_limits(count, pairs, bbar, nnorm);
}

// A .urms file read by the program's reader: (records, None) or, when it refuses the file,
// ([], (ierr, message, its file, line and text)); ValueError for a file that cannot be opened
// or has no record count, as the program ends its run there.
std::pair<std::vector<RecordTuple>, std::optional<std::tuple<int, std::string, std::string>>>
read_urms(const std::string& path) {
  int ntypes = 0;
  zs::UrmsTable table;
  const zs::UrmsFileRead read = zs::read_urms_file(path, ntypes, table);
  switch (read.stop) {
    case zs::UrmsFileRead::Stop::kCannotOpen:
      throw py::value_error("Cannot open .URMS file " + path);
    case zs::UrmsFileRead::Stop::kNoCount:
      throw py::value_error("Cannot read the number of records from .URMS file " + path + " (" +
                            read.where + ")");
    case zs::UrmsFileRead::Stop::kNone:
      break;
  }
  if (read.result.ierr != 0) {
    return {{}, std::tuple{read.result.ierr, read.result.message, read.where}};
  }
  std::vector<RecordTuple> records;
  for (const zs::UrmsRecord& r : table.records) records.push_back(record_tuple(r));
  return {records, std::nullopt};
}

// What the program warns about a .urms table for a model with count[t-1] atoms of type t.
std::vector<std::string> urms_warnings(const std::vector<RecordTuple>& records,
                                       const std::vector<int>& count, bool total_record) {
  return zs::urms_warnings(make_table(records), count, total_record);
}

std::string format_real(float value) {
  std::string out;
  zalmor::output::detail::append_real(out, value);
  return out;
}

// One field from (name, type name, value): bytes for a string, int, float, or a float32
// array.
zalmor::output::Field make_field(const py::tuple& item) {
  namespace zo = zalmor::output;
  if (item.size() != 3) throw py::value_error("a field is (name, type, value)");
  zo::Field field;
  field.name = item[0].cast<std::string>();
  if (!zo::is_valid_key(field.name)) {
    throw py::value_error("'" + field.name + "' cannot be a field name");
  }
  const auto type = zo::parse_type_name(item[1].cast<std::string>());
  if (!type) throw py::value_error("unknown field type " + item[1].cast<std::string>());
  field.type = *type;
  switch (*type) {
    case zo::FieldType::String:
      field.text = item[2].cast<py::bytes>();
      field.extent = static_cast<int>(field.text.size());
      break;
    case zo::FieldType::Int32:
      field.int_value = item[2].cast<std::int32_t>();
      break;
    case zo::FieldType::Float32:
      field.real_value = item[2].cast<float>();
      break;
    case zo::FieldType::Float32Array: {
      const auto values = item[2].cast<FloatArray>();
      field.values.assign(values.data(), values.data() + values.size());
      field.extent = static_cast<int>(field.values.size());
      break;
    }
  }
  return field;
}

// The whole text of a .ioq file, formatted by the program's own writer.
py::bytes format_ioq(const std::vector<std::pair<std::string, py::bytes>>& meta,
                     const std::vector<std::vector<py::tuple>>& blocks) {
  std::vector<zalmor::output::MetaEntry> entries;
  for (const auto& [key, text] : meta) {
    if (!zalmor::output::is_valid_key(key)) {
      throw py::value_error("'" + key + "' cannot be a metadata key");
    }
    entries.push_back({key, std::string(text)});
  }
  std::string out = zalmor::output::ioq_file_header(entries);
  int number = 0;
  for (const auto& block : blocks) {
    std::vector<zalmor::output::Field> fields;
    for (const py::tuple& item : block) fields.push_back(make_field(item));
    out += zalmor::output::format_block(++number, fields);
  }
  return py::bytes(out);
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The compiled part of zalmor: Debye sums and the .ioq writer";
  // The program's failures carry its console's leading blank; Python gets the line alone, and
  // running out of memory as MemoryError with what needed how much.
  py::register_exception_translator([](std::exception_ptr failure) {
    const auto line = [](const char* text) {
      std::string s = text;
      return s.empty() || s.front() != ' ' ? s : s.substr(1);
    };
    try {
      if (failure) std::rethrow_exception(failure);
    } catch (const zalmor::util::OutOfMemory& e) {
      PyErr_SetString(PyExc_MemoryError, line(e.what()).c_str());
    } catch (const zalmor::util::FatalError& e) {
      PyErr_SetString(PyExc_RuntimeError, line(e.what()).c_str());
    } catch (const std::bad_alloc&) {
      PyErr_SetString(PyExc_MemoryError,
                      "Out of memory: the calculation could not allocate what it needs");
    }
  });
  m.attr("MAX_TYPES") = zalmor::kMaxTypes;
  // The core's fixed capacities, for the Python layer to name in its messages and files
  // instead of keeping copies of its own.
  py::dict limits;
  limits["program_atoms"] = zalmor::kMaxAtoms;
  limits["program_q_values"] = zalmor::kMaxQValues;
  limits["types"] = zalmor::kMaxTypes;
  limits["stored_bbar_types"] = zalmor::output::kBlockParamTypes;
  limits["block_params"] = zalmor::output::kBlockParamCount;
  limits["line_bytes"] = zalmor::kMaxLineBytes;
  limits["urms_records"] = zs::kMaxUrmsRecords;
  limits["urms_points"] = zs::kMaxUrmsPoints;
  m.attr("LIMITS") = limits;
  m.attr("VERSION") = ZALMOR_VERSION;
  m.def("partials", &partials_as_tuples, py::arg("ntypes"),
        "The type pairs of the partial blocks, in block order");
  m.def("compute", &compute, py::arg("xyz"), py::arg("types"), py::arg("q"), py::arg("ntypes"),
        py::arg("bbar"), py::arg("nnorm"), py::arg("thermal_option") = 0,
        py::arg("uij") = std::vector<float>{}, py::arg("engine") = "auto",
        py::arg("threads") = py::none(), py::arg("progress") = py::none(), py::arg("rcut") = 1.7f,
        py::arg("urms") = std::vector<RecordTuple>{}, py::arg("total_record") = false,
        py::arg("cell") = py::none(), py::arg("cutoff") = py::none(),
        py::arg("modification") = "none", py::arg("reserve") = 0,
        "(blocks, zero_q, notes): every partial block, then the total, as float32 arrays, each "
        "block's limit at Q = 0, and notes to warn with; with cell (rows a, b, c) and cutoff a "
        "periodic box, pairs up to the cutoff less the uniform continuum within it. reserve: "
        "bytes the caller will hold beside the calculation, counted in its memory check");
  m.def("pair_block_jobs", &pair_block_jobs, py::arg("natoms"), py::arg("workers"),
        py::arg("blocks") = py::none(),
        "[(ranges, weight)]: the jobs a finite model's pairs are shared out in, in the order "
        "their sums are added (weighted) to make the blocks");
  m.def("pair_counts", &pair_counts, py::arg("xyz"), py::arg("types"), py::arg("ntypes"),
        py::arg("dr"), py::arg("nbins"), py::arg("cell") = py::none(),
        py::arg("threads") = py::none(), py::arg("reserve") = 0,
        "(counts, notes): unordered pairs per type pair (rows in partial order) in bins "
        "[m dr, (m + 1) dr), m < nbins; with a cell (rows a, b, c) at minimum-image distances "
        "in a periodic box; reserve: bytes the caller will hold beside them, counted in the "
        "memory check");
  m.def("zero_q", &zero_q, py::arg("count"), py::arg("bbar"), py::arg("nnorm"),
        "The zero-Q limits of every partial and, last, of the total");
  m.def("read_urms", &read_urms, py::arg("path"),
        "The records of a .urms file as the program reads them, or why it refuses the file");
  m.def("urms_warnings", &urms_warnings, py::arg("records"), py::arg("count"),
        py::arg("total_record"), "What the program warns about .urms records for a model");
  m.def("format_real", &format_real, py::arg("value"),
        "The shortest text that reads back to the same float, as the .ioq files have it");
  m.def("format_ioq", &format_ioq, py::arg("meta"), py::arg("blocks"),
        "The text of a .ioq file from metadata (key, bytes) and blocks of (name, type, value)");
}
