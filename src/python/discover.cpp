// find_formula and its result class PySearchResult.
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "core/discover/expr.hpp"
#include "core/discover/classic_search.hpp"
#include "core/format.hpp"
#include "python/convert.hpp"
#include "python/function.hpp"
#include "python/registry.hpp"
#include "python/result.hpp"

namespace zan::py {
namespace {

namespace zd = zan::discover;

struct ResultObject {
    PyObject_HEAD
    std::string formula;
    double error;
    std::uint64_t complexity;
    std::vector<double> params;
};

PyTypeObject* g_result_type = nullptr;

const ResultObject& result_of(PyObject* self) { return *reinterpret_cast<const ResultObject*>(self); }

Ref new_result(const zd::SearchResult& r) {
    PyTypeObject* type = pysearchresult_type();
    if (type == nullptr) throw PyError{};
    auto* obj = PyObject_New(ResultObject, type);
    if (obj == nullptr) throw PyError{};
    Ref owned = Ref::steal(reinterpret_cast<PyObject*>(obj));
    new (&obj->formula) std::string();
    new (&obj->params) std::vector<double>();
    obj->formula = r.formula;
    obj->error = r.error;
    obj->complexity = r.complexity;
    obj->params.assign(r.params.begin(), r.params.end());
    return owned;
}

void result_dealloc(PyObject* self) noexcept {
    auto* obj = reinterpret_cast<ResultObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    obj->formula.~basic_string();
    obj->params.~vector();
    PyObject_Free(self);
    Py_DECREF(type);
}

PyObject* result_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for PySearchResult");
    return nullptr;
}

PyObject* result_repr(PyObject* self) noexcept {
    return boundary([&] {
        const ResultObject& r = result_of(self);
        std::string text = "SearchResult(formula='" + r.formula + "', error=" + zan::format::exponent2(r.error) +
                           ", complexity=" + std::to_string(r.complexity) + ")";
        return new_str(text).release();
    });
}

PyObject* get_formula(PyObject* self, void*) noexcept {
    return boundary([&] { return new_str(result_of(self).formula).release(); });
}
PyObject* get_error(PyObject* self, void*) noexcept { return PyFloat_FromDouble(result_of(self).error); }
PyObject* get_complexity(PyObject* self, void*) noexcept {
    return PyLong_FromUnsignedLongLong(result_of(self).complexity);
}
PyObject* get_params(PyObject* self, void*) noexcept {
    return boundary([&] { return float_list(result_of(self).params).release(); });
}

constexpr std::span<const char* const> kNoParams{};
constexpr Signature kToLatex{"PySearchResult.to_latex()", kNoParams, 0};
constexpr Signature kToPython{"PySearchResult.to_python()", kNoParams, 0};

Ref to_latex_body(PyObject* self, const Args&) { return new_str(zd::to_latex(result_of(self).formula)); }
Ref to_python_body(PyObject* self, const Args&) { return new_str(zd::to_python(result_of(self).formula)); }

PyMethodDef g_result_methods[] = {
    method_def<kToLatex, to_latex_body>("to_latex", "to_latex($self)\n--\n\n"),
    method_def<kToPython, to_python_body>("to_python", "to_python($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_result_getset[] = {
    {"formula", get_formula, nullptr, nullptr, nullptr},
    {"error", get_error, nullptr, nullptr, nullptr},
    {"complexity", get_complexity, nullptr, nullptr, nullptr},
    {"params", get_params, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_result_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python-facing formula discovery result.")},
    {Py_tp_new, reinterpret_cast<void*>(result_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_methods, g_result_methods},
    {Py_tp_getset, g_result_getset},
    {0, nullptr},
};

PyType_Spec g_result_spec = {
    "zan_core.PySearchResult",
    sizeof(ResultObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    g_result_slots,
};

// The search counts rows by the first column and reads every column that far: refuse data
// it cannot handle before it starts.
void check_columns(const std::vector<FloatVec>& columns) {
    if (columns.empty()) raise(PyExc_ValueError, "x_data must contain at least one column");
    const std::size_t rows = columns[0].size();
    for (std::size_t k = 1; k < columns.size(); ++k) {
        if (columns[k].size() < rows)
            raise_format(PyExc_ValueError, "x_data column %zu has %zu values, fewer than the %zu of column 0", k,
                         columns[k].size(), rows);
    }
}

constexpr const char* kFindParams[] = {"x_data",   "y_data",   "max_complexity", "beam_width",
                                       "precision_goal", "use_trig", "use_zan",        "complexity_penalty"};
constexpr Signature kFind{"find_formula()", kFindParams, 2};

Ref find_formula(PyObject*, const Args& args) {
    std::vector<FloatVec> columns = args.get(0, to_float_lists);
    FloatVec targets = args.get(1, to_float_list);
    zd::SearchConfig config;
    config.max_complexity = args.get_or(2, to_uint64, std::uint64_t{8});
    config.beam_width = args.get_or(3, to_uint64, std::uint64_t{2000});
    config.precision_goal = args.get_or(4, to_float, 1e-10);
    config.use_trig = args.get_or(5, to_flag, true);
    config.use_zan = args.get_or(6, to_flag, true);
    config.complexity_penalty = args.get_or(7, to_float, 0.001);
    check_columns(columns);

    std::vector<std::span<const double>> views(columns.begin(), columns.end());
    std::optional<zd::SearchResult> best =
        zd::search(views, std::span<const double>(targets), columns.size(), config);
    if (!best) return Ref::borrow(Py_None);
    return new_result(*best);
}

}  // namespace

PyTypeObject* pysearchresult_type() noexcept {
    if (g_result_type == nullptr)
        g_result_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_result_spec));
    return g_result_type;
}

PyMethodDef find_formula_def = method_def<kFind, find_formula>(
    "find_formula",
    "find_formula(x_data, y_data, max_complexity=8, beam_width=2000, precision_goal=1e-10, use_trig=True, "
    "use_zan=True, complexity_penalty=0.001)\n--\n\n"
    "Find a formula fitting x_data → y_data.\n"
    "x_data: list of column vectors (one per variable), or a single 1D list for univariate.\n"
    "y_data: target values (1D list).");

}  // namespace zan::py
