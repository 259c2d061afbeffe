// The core's operator table and snapping constants, shown to the package so that its
// exports render every operator from the same row the engine evaluates:
//
//   operators()       tuple of dicts, one per operator in code order
//   snap_constants()  dict: max_denominator, max_numerator, bases ((value, sympy), ...)
//   guard_constants() dict: slip_threshold, guard_floor
#include "python/operators.hpp"

#include <string>
#include <string_view>

#include "core/discover/engine/snap.hpp"
#include "core/discover/operators.hpp"
#include "core/guards.hpp"
#include "python/errors.hpp"
#include "python/function.hpp"
#include "python/native_registry.hpp"
#include "python/result.hpp"

namespace zan::py {
namespace {

namespace zd = zan::discover;
namespace ze = zan::discover::engine;

[[nodiscard]] std::string_view binding_name(zd::Binding b) noexcept {
    switch (b) {
        case zd::Binding::Sum: return "sum";
        case zd::Binding::Product: return "product";
        case zd::Binding::Negation: return "negation";
        case zd::Binding::Power: return "power";
        case zd::Binding::Atom: return "atom";
    }
    return "atom";
}

[[nodiscard]] std::string_view inner_name(zd::InnerConstant c) noexcept {
    switch (c) {
        case zd::InnerConstant::None: return "";
        case zd::InnerConstant::Scale: return "scale";
        case zd::InnerConstant::Shift: return "shift";
        case zd::InnerConstant::ShiftReflect: return "shift_reflect";
    }
    return "";
}

void put(PyObject* dict, const char* key, Ref value) {
    if (PyDict_SetItemString(dict, key, value.get()) < 0) throw PyError{};
}

Ref new_bool(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

Ref new_size(std::size_t v) { return Ref::check(PyLong_FromSize_t(v)); }

// (form, binding) of a rendering.
Ref rendering(const zd::Rendering& r) {
    Ref form = new_str(r.form);
    Ref binding = new_str(binding_name(r.binding));
    return Ref::check(PyTuple_Pack(2, form.get(), binding.get()));
}

Ref operator_row(const zd::OperatorInfo& row) {
    Ref d = Ref::check(PyDict_New());
    put(d.get(), "code", new_size(static_cast<std::size_t>(row.op)));
    put(d.get(), "name", new_str(row.name));
    put(d.get(), "arity", new_size(row.arity));
    put(d.get(), "commutative", new_bool(row.commutative));
    put(d.get(), "default", new_bool(row.in_default_set));
    put(d.get(), "trig", new_bool(row.trig));
    put(d.get(), "period", new_float(row.period));
    put(d.get(), "inner", new_str(inner_name(row.inner)));
    put(d.get(), "text", rendering(row.text));
    put(d.get(), "exact", rendering(row.exact));
    put(d.get(), "helper", new_str(row.helper));
    put(d.get(), "raises", new_str(row.raises));
    put(d.get(), "latex", rendering(row.tex));
    put(d.get(), "numpy", new_str(row.numpy));
    put(d.get(), "sympy", new_str(row.sympy));
    put(d.get(), "guard", new_str(row.guard));
    return d;
}

constexpr std::span<const char* const> kNoParams{};
constexpr Signature kOperatorsSig{"operators()", kNoParams, 0};
constexpr Signature kSnapSig{"snap_constants()", kNoParams, 0};
constexpr Signature kGuardSig{"guard_constants()", kNoParams, 0};

Ref operators(PyObject*, const Args&) {
    Ref out = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(zd::kOperatorCount)));
    for (std::size_t i = 0; i < zd::kOperatorCount; ++i)
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), operator_row(zd::kOperators[i]).release());
    return out;
}

Ref snap_constants(PyObject*, const Args&) {
    Ref bases = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(std::size(ze::kSnapBases))));
    for (std::size_t i = 0; i < std::size(ze::kSnapBases); ++i) {
        const ze::SnapBase& b = ze::kSnapBases[i];
        Ref value = new_float(b.value);
        Ref sympy = new_str(b.sympy);
        PyTuple_SET_ITEM(bases.get(), static_cast<Py_ssize_t>(i), Ref::check(PyTuple_Pack(2, value.get(), sympy.get())).release());
    }
    Ref d = Ref::check(PyDict_New());
    put(d.get(), "max_denominator", new_size(ze::kSnapMaxDenominator));
    put(d.get(), "max_numerator", new_size(ze::kSnapMaxNumerator));
    put(d.get(), "bases", std::move(bases));
    return d;
}

Ref guard_constants(PyObject*, const Args&) {
    Ref d = Ref::check(PyDict_New());
    put(d.get(), "slip_threshold", new_float(SLIP_THRESHOLD));
    put(d.get(), "guard_floor", new_float(GUARD_FLOOR));
    return d;
}

[[noreturn]] void raise_unknown(PyObject* item) {
    std::string valid;
    for (const zd::OperatorInfo& row : zd::kOperators) {
        if (!valid.empty()) valid += ", ";
        valid += row.name;
    }
    PyErr_Format(PyExc_ValueError, "unknown operator %R; the operators are %s", item, valid.c_str());
    throw PyError{};
}

}  // namespace

std::uint32_t to_operator_set(PyObject* names) {
    if (!PyList_Check(names) && !PyTuple_Check(names))
        raise(PyExc_TypeError, "operators must be a list or tuple of operator names");
    Ref seq = Ref::check(PySequence_Fast(names, "operators must be a list or tuple of operator names"));
    std::uint32_t set = 0;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyUnicode_Check(item)) raise(PyExc_TypeError, "operators must be a list or tuple of operator names");
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item, &size);
        if (text == nullptr) throw PyError{};
        zd::Operator op;
        if (!zd::operator_named(std::string_view(text, static_cast<std::size_t>(size)), op)) raise_unknown(item);
        set |= zd::operator_bit(op);
    }
    return set;
}

namespace native {

PyMethodDef kOperatorMethods[] = {
    method_def<kOperatorsSig, operators>("operators", "operators()\n--\n\n"),
    method_def<kSnapSig, snap_constants>("snap_constants", "snap_constants()\n--\n\n"),
    method_def<kGuardSig, guard_constants>("guard_constants", "guard_constants()\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace native
}  // namespace zan::py
