// Option 4 for the pairs engine: u(r) of .urms records, with the correlated Debye tail of
// model 3 tabulated once per record instead of two 10000-point quadratures per pair.
#pragma once

#include <memory>

#include "scatter/groups.hpp"
#include "scatter/thermal.hpp"

namespace zalmor::scatter::detail {

// Fills `eval` for `record`. A model-3 tail is tabulated for distances up to r_max (Angstrom)
// from the exact evaluator of the tail, which is returned (it answers beyond the table and
// must outlive `eval`); nullptr for the other models, and when `same_tail`, the evaluator of
// a record with the same tail, lends its table.
std::unique_ptr<RecordEvaluator> make_urms_eval(const UrmsRecord& record, double r_max,
                                                UrmsEval& eval,
                                                const UrmsEval* same_tail = nullptr);

// Whether two model-3 records have the same tail (parameters and last break).
bool same_debye_tail(const UrmsRecord& a, const UrmsRecord& b);

}  // namespace zalmor::scatter::detail
