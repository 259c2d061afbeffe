// The list forms of the parallel batch functions, registered by zan_core.
#include "python/batch_decls.hpp"
#include "python/registry.hpp"

namespace zan::py {

PyMethodDef boost_n_def = batch::list_def<batch::boost_n>();
PyMethodDef exp_n_def = batch::list_def<batch::exp_n>();
PyMethodDef ln_n_def = batch::list_def<batch::ln_n>();
PyMethodDef add_n_def = batch::list_def<batch::add_n>();
PyMethodDef sub_n_def = batch::list_def<batch::sub_n>();
PyMethodDef mul_n_def = batch::list_def<batch::mul_n>();
PyMethodDef div_n_def = batch::list_def<batch::div_n>();
PyMethodDef sqrt_n_def = batch::list_def<batch::sqrt_n>();
PyMethodDef sin_n_def = batch::list_def<batch::sin_n>();
PyMethodDef cos_n_def = batch::list_def<batch::cos_n>();
PyMethodDef tension_n_def = batch::list_def<batch::tension_n>();
PyMethodDef pow_n_def = batch::list_def<batch::pow_n>();
PyMethodDef christoffel_batch_n_def = batch::list_def<batch::christoffel_batch_n>();
PyMethodDef octonion_mul_n_def = batch::list_def<batch::octonion_mul_n>();
PyMethodDef geometric_product_n_def = batch::list_def<batch::geometric_product_n>();

}  // namespace zan::py
