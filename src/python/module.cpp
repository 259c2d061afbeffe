// Entry point of zan_core: creates the module once per process, registers the classes and
// functions in their fixed order and lists every name in __all__.
#include "python/ref.hpp"

#include <cstdint>

#include "core/pool.hpp"
#include "python/errors.hpp"
#include "python/registry.hpp"

namespace zan::py {
namespace {

constexpr const char* kModuleName = "zan_core";

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT, kModuleName, "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;
std::int64_t g_interpreter = -1;

// A class (created on first use) or a function, in registration order.
struct Entry {
    PyMethodDef* function;
    PyTypeObject* (*type)();
};

const Entry kRegistry[] = {
    {nullptr, &zanpoint_type},
    {nullptr, &zanpair_type},
    {nullptr, &zanknot_type},
    {&schrodinger_step_n_def, nullptr},
    {&rotate_phase_n_def, nullptr},
    {&simulate_pulses_n_def, nullptr},
    {&boost_n_def, nullptr},
    {&exp_n_def, nullptr},
    {&ln_n_def, nullptr},
    {&add_n_def, nullptr},
    {&sub_n_def, nullptr},
    {&mul_n_def, nullptr},
    {&div_n_def, nullptr},
    {&sqrt_n_def, nullptr},
    {&sin_n_def, nullptr},
    {&cos_n_def, nullptr},
    {&tension_n_def, nullptr},
    {&pow_n_def, nullptr},
    {&christoffel_batch_n_def, nullptr},
    {&octonion_mul_n_def, nullptr},
    {&geometric_product_n_def, nullptr},
    {nullptr, &pysearchresult_type},
    {&find_formula_def, nullptr},
};

// Appends name to __all__ (creating it on first use) and sets the attribute.
void add(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{};
        PyErr_Clear();
        all = Ref::check(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PyError{};
    }
    if (PyList_Append(all.get(), name) < 0) throw PyError{};
    if (PyObject_SetAttr(module, name, value) < 0) throw PyError{};
}

void register_entry(PyObject* module, const Entry& entry) {
    if (entry.type != nullptr) {
        PyTypeObject* type = entry.type();
        if (type == nullptr) throw PyError{};
        Ref name = Ref::check(PyType_GetName(type));
        add(module, name.get(), reinterpret_cast<PyObject*>(type));
        return;
    }
    Ref module_name = Ref::check(PyUnicode_FromString(kModuleName));
    Ref function = Ref::check(PyCFunction_NewEx(entry.function, module, module_name.get()));
    Ref name = Ref::check(PyObject_GetAttrString(function.get(), "__name__"));
    add(module, name.get(), function.get());
}

// Worker threads do not survive fork(): stop them before, rebuild lazily after.
PyObject* before_fork(PyObject*, PyObject*) noexcept {
    zan::pool::teardown();
    Py_RETURN_NONE;
}
PyMethodDef g_before_fork_def = {"_zan_core_before_fork", before_fork, METH_NOARGS, nullptr};

void install_fork_handler() {
    Ref os = Ref::check(PyImport_ImportModule("os"));
    Ref hook = Ref::check(PyCFunction_NewEx(&g_before_fork_def, nullptr, nullptr));
    Ref register_at_fork = Ref::check(PyObject_GetAttrString(os.get(), "register_at_fork"));
    Ref kwargs = Ref::check(Py_BuildValue("{s:O}", "before", hook.get()));
    Ref empty = Ref::check(PyTuple_New(0));
    Ref done = Ref::check(PyObject_Call(register_at_fork.get(), empty.get(), kwargs.get()));
}

PyObject* create() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) throw PyError{};
    if (g_interpreter >= 0 && g_interpreter != id)
        raise(PyExc_ImportError,
              "zan_core does not support sub-interpreters: it is already loaded in another interpreter "
              "of this process");
    if (g_module != nullptr) return Py_NewRef(g_module);

    Ref module = Ref::check(PyModule_Create(&g_def));
    Ref panic = Ref::borrow(create_panic_exception());
    if (PyObject_SetAttrString(module.get(), "PanicException", panic.get()) < 0) throw PyError{};
    for (const Entry& entry : kRegistry) register_entry(module.get(), entry);
    install_fork_handler();

    g_interpreter = id;
    g_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace zan::py

PyMODINIT_FUNC PyInit_zan_core(void) {
    return zan::py::boundary([] { return zan::py::create(); });
}
