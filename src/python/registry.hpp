// Everything the module registers, defined in the file of each Python-facing piece.
#pragma once

#include "python/ref.hpp"

namespace zan::py {

// Value classes (created on first use; nullptr with an exception set on failure) and their
// sequential batch functions, then the batch Lorentz boost.
PyTypeObject* zanpoint_type() noexcept;
PyTypeObject* zanpair_type() noexcept;
PyTypeObject* zanknot_type() noexcept;
extern PyMethodDef schrodinger_step_n_def, rotate_phase_n_def, simulate_pulses_n_def, boost_n_def;

// Elementwise batch functions.
extern PyMethodDef exp_n_def, ln_n_def, add_n_def, sub_n_def, mul_n_def, div_n_def, sqrt_n_def,
    sin_n_def, cos_n_def, tension_n_def, pow_n_def;

// Algebra and geometry batches.
extern PyMethodDef christoffel_batch_n_def, octonion_mul_n_def, geometric_product_n_def;

// Formula discovery: the result class and its entry point.
PyTypeObject* pysearchresult_type() noexcept;
extern PyMethodDef find_formula_def;

}  // namespace zan::py
