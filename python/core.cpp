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
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
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
#include "util/console.hpp"
#include "util/coords_reader.hpp"
#include "util/errors.hpp"
#include "util/limits.hpp"

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

// A Python progress callback for the engines, which run without the GIL: each call takes the
// GIL back. An exception of the callback cannot pass through the engines' parallel regions:
// it is kept, later calls are skipped, and rethrow() raises it when the calculation is over.
class PythonProgress {
 public:
  explicit PythonProgress(const std::optional<py::function>& function) {
    if (function && !function->is_none()) {
      report_ = [this, &function](double fraction) {
        if (failure_) return;
        const py::gil_scoped_acquire gil;
        try {
          (*function)(fraction);
        } catch (...) {
          failure_ = std::current_exception();
        }
      };
    }
  }
  PythonProgress(const PythonProgress&) = delete;
  PythonProgress& operator=(const PythonProgress&) = delete;

  const zs::Progress& report() const { return report_; }
  void rethrow() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  std::exception_ptr failure_;
  zs::Progress report_;
};

py::list float_arrays(const std::vector<std::vector<float>>& blocks) {
  py::list out;
  for (const std::vector<float>& block : blocks) {
    FloatArray array(static_cast<py::ssize_t>(block.size()));
    std::copy(block.begin(), block.end(), array.mutable_data());
    out.append(std::move(array));
  }
  return out;
}

py::list compute(const FloatArray& xyz, const IntArray& types, const FloatArray& q, int ntypes,
                 const std::vector<float>& bbar, float nnorm, int thermal_option,
                 const std::vector<float>& uij, const std::string& engine, int threads,
                 const std::optional<py::function>& progress, float rcut,
                 const std::vector<RecordTuple>& urms, bool total_record) {
  check_ntypes(ntypes);
  if (q.ndim() != 1) throw py::value_error("q must be one-dimensional");
  const std::optional<zs::Impl> impl = zs::engine_named(engine);
  if (!impl) {
    throw py::value_error("engine must be auto, pairs, moments or reference, not '" + engine + "'");
  }
  const zalmor::util::Model model = make_model(xyz, types, ntypes);
  const zs::UrmsTable table = make_table(urms);
  const zs::BlockRequest request =
      make_request(ntypes, bbar, nnorm, thermal_option, uij, {rcut, &table, total_record});
  const std::vector<float> qv(q.data(), q.data() + q.size());
  zs::check_request(model, qv, request);
  const zs::ThreadStart start = zs::start_threads(threads);

  const PythonProgress callback(progress);
  std::vector<std::vector<float>> blocks;
  {
    const py::gil_scoped_release nogil;
    zs::ThrottledProgress throttled(callback.report());
    zs::Progress passed;
    if (callback.report()) passed = [&throttled](double f) { throttled(f); };
    blocks = zs::compute_blocks(*impl, model, qv, request, start.threads, passed);
  }
  callback.rethrow();
  std::vector<int> count(static_cast<std::size_t>(ntypes), 0);
  for (const int t : model.type) ++count[static_cast<std::size_t>(t - 1)];
  zs::check_blocks_finite(request, qv, blocks,
                          zs::zero_q_limits(count, request.partials, request.bbar, nnorm));
  return float_arrays(blocks);
}

// The periodic box's blocks and, last in the returned pair, each block's limit at Q = 0.
std::pair<py::list, std::vector<double>> compute_periodic(
    const FloatArray& xyz, const IntArray& types, const FloatArray& q, int ntypes,
    const std::vector<float>& bbar, float nnorm, int thermal_option, const std::vector<float>& uij,
    const std::array<double, 9>& cell, double cutoff, int threads,
    const std::optional<py::function>& progress, float rcut, const std::string& modification) {
  check_ntypes(ntypes);
  if (q.ndim() != 1) throw py::value_error("q must be one-dimensional");
  zs::Modification mod = zs::Modification::kNone;
  if (modification == "sinc") {
    mod = zs::Modification::kSinc;
  } else if (modification != "none") {
    throw py::value_error("modification must be none or sinc, not '" + modification + "'");
  }
  const zalmor::util::Model model = make_model(xyz, types, ntypes);
  const zs::BlockRequest request =
      make_request(ntypes, bbar, nnorm, thermal_option, uij, {.rcut = rcut});
  const std::vector<float> qv(q.data(), q.data() + q.size());
  zs::check_request(model, qv, request, cutoff);
  const zs::ThreadStart start = zs::start_threads(threads);
  const PythonProgress callback(progress);
  std::vector<std::vector<float>> blocks;
  std::vector<double> zero;
  {
    const py::gil_scoped_release nogil;
    // A refusal (std::invalid_argument) reaches Python as ValueError.
    blocks = zs::compute_periodic_blocks(model, cell, cutoff, qv, request, start.threads,
                                         callback.report(), &zero, mod);
  }
  callback.rethrow();
  std::vector<float> limits(zero.begin(), zero.end());
  zs::check_blocks_finite(request, qv, blocks, limits);
  return {float_arrays(blocks), zero};
}

// The pair-distance counts per type pair (rows in partial order) in nbins bins of dr, of a
// finite model or, with a cell, of a periodic box.
py::array_t<std::int64_t> pair_counts(const FloatArray& xyz, const IntArray& types, int ntypes,
                                      double dr, int nbins,
                                      const std::optional<std::array<double, 9>>& cell,
                                      int threads) {
  check_ntypes(ntypes);
  const zalmor::util::Model model = make_model(xyz, types, ntypes);
  const zs::ThreadStart start = zs::start_threads(threads);
  zs::PairHistogram hist;
  {
    const py::gil_scoped_release nogil;
    // A refusal (std::invalid_argument) reaches Python as ValueError.
    hist = cell ? zs::periodic_pair_histogram(model, *cell, ntypes, dr, nbins, start.threads)
                : zs::pair_histogram(model, ntypes, dr, nbins, start.threads);
  }
  const auto rows = static_cast<py::ssize_t>(hist.count.size()) / hist.nbins;
  py::array_t<std::int64_t> out({rows, static_cast<py::ssize_t>(hist.nbins)});
  std::copy(hist.count.begin(), hist.count.end(), out.mutable_data());
  return out;
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
// ([], (ierr, message, the line of standard error that names the file's line)).
std::pair<std::vector<RecordTuple>, std::optional<std::tuple<int, std::string, std::string>>>
read_urms(const std::string& path) {
  std::istringstream in;
  std::ostringstream out, err;
  zalmor::util::Console console(in, out, err);
  int ntypes = 0;
  zs::UrmsTable table;
  zs::UrmsReadResult result;
  try {
    result = zs::read_urms(console, path, "zalmor", false, ntypes, table);
  } catch (const zalmor::util::FatalError& e) {
    throw py::value_error(std::string(e.what()).substr(1));
  }
  if (result.ierr != 0) {
    std::string note = err.str();
    if (const auto end = note.find('\n'); end != std::string::npos) note.resize(end);
    return {{}, std::tuple{result.ierr, result.message, note}};
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

// The program's bound of u over all distances of each record, A.
std::vector<double> urms_largest_u(const std::vector<RecordTuple>& records) {
  std::vector<double> out;
  for (const zs::UrmsRecord& r : make_table(records).records) out.push_back(zs::largest_u(r));
  return out;
}

std::string format_real(float value) {
  std::string out;
  zalmor::output::detail::append_real(out, value);
  return out;
}

int threads_available(int wanted) { return zs::start_threads(wanted).threads; }

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
        py::arg("uij") = std::vector<float>{}, py::arg("engine") = "auto", py::arg("threads") = 0,
        py::arg("progress") = py::none(), py::arg("rcut") = 1.7f,
        py::arg("urms") = std::vector<RecordTuple>{}, py::arg("total_record") = false,
        "Every partial block, then the total, as float32 arrays");
  m.def("compute_periodic", &compute_periodic, py::arg("xyz"), py::arg("types"), py::arg("q"),
        py::arg("ntypes"), py::arg("bbar"), py::arg("nnorm"), py::arg("thermal_option"),
        py::arg("uij"), py::arg("cell"), py::arg("cutoff"), py::arg("threads") = 0,
        py::arg("progress") = py::none(), py::arg("rcut") = 1.7f, py::arg("modification") = "none",
        "The blocks of a periodic box (cell rows a, b, c) with pairs up to cutoff, less the "
        "uniform continuum within it, and each block's limit at Q = 0");
  m.def("pair_counts", &pair_counts, py::arg("xyz"), py::arg("types"), py::arg("ntypes"),
        py::arg("dr"), py::arg("nbins"), py::arg("cell") = py::none(), py::arg("threads") = 0,
        "Unordered pairs per type pair (rows in partial order) in bins [m dr, (m + 1) dr), "
        "m < nbins; with a cell (rows a, b, c) at minimum-image distances in a periodic box");
  m.def("zero_q", &zero_q, py::arg("count"), py::arg("bbar"), py::arg("nnorm"),
        "The zero-Q limits of every partial and, last, of the total");
  m.def("read_urms", &read_urms, py::arg("path"),
        "The records of a .urms file as the program reads them, or why it refuses the file");
  m.def("urms_warnings", &urms_warnings, py::arg("records"), py::arg("count"),
        py::arg("total_record"), "What the program warns about .urms records for a model");
  m.def("urms_largest_u", &urms_largest_u, py::arg("records"),
        "A bound of u over all distances of each .urms record");
  m.def("threads_available", &threads_available, py::arg("wanted") = 0,
        "How many threads a calculation can have (0: the machine's count)");
  m.def("format_real", &format_real, py::arg("value"),
        "The shortest text that reads back to the same float, as the .ioq files have it");
  m.def("format_ioq", &format_ioq, py::arg("meta"), py::arg("blocks"),
        "The text of a .ioq file from metadata (key, bytes) and blocks of (name, type, value)");
}
