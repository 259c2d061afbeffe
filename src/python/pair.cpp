// ZANPair: an immutable (real, imag) pair with arithmetic, polar form and phase rotation,
// and the sequential batch functions rotate_phase_n and schrodinger_step_n.
#include "python/classes.hpp"

#include <cmath>
#include <cstddef>
#include <span>
#include <string>

#include "core/format.hpp"
#include "python/convert.hpp"
#include "python/function.hpp"
#include "python/registry.hpp"
#include "python/result.hpp"

namespace zan::py {
namespace {

namespace pr = zan::pair;

PyTypeObject* g_type = nullptr;

const zan::Pair& self_pair(PyObject* self) noexcept { return detail::value<PairObject>(self); }

// Exactly a ZANPair: the class has no subclasses, so no subclass check is needed.
bool is_pair(PyObject* obj) noexcept { return g_type != nullptr && Py_IS_TYPE(obj, g_type); }

constexpr const char* kRealImag[] = {"real", "imag"};
constexpr const char* kRTheta[] = {"r", "theta"};
constexpr const char* kAngle[] = {"angle"};
constexpr const char* kPairsAngles[] = {"pairs", "angles"};
constexpr const char* kPsiVDtHbar[] = {"psi", "v", "dt", "hbar"};

constexpr Signature kNew{"ZANPair.__new__()", kRealImag, 2};
constexpr Signature kFromValues{"ZANPair.from_values()", kRealImag, 2};
constexpr Signature kFromPolar{"ZANPair.from_polar()", kRTheta, 2};
constexpr Signature kUnitI{"ZANPair.unit_i()", {}, 0};
constexpr Signature kOne{"ZANPair.one()", {}, 0};
constexpr Signature kZero{"ZANPair.zero()", {}, 0};
constexpr Signature kRotate{"ZANPair.rotate_phase()", kAngle, 1};
constexpr Signature kConjugate{"ZANPair.conjugate()", {}, 0};
constexpr Signature kRotateN{"rotate_phase_n()", kPairsAngles, 2};
constexpr Signature kSchrodinger{"schrodinger_step_n()", kPsiVDtHbar, 4};

zan::Pair real_imag(const Args& args) {
    const double re = args.get(0, to_float);
    const double im = args.get(1, to_float);
    return {re, im};
}

PyObject* construct(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    return boundary([&] {
        Args bound(kNew, args, static_cast<Py_ssize_t>(nargsf), kwnames);
        return detail::make<PairObject>(reinterpret_cast<PyTypeObject*>(type), real_imag(bound)).release();
    });
}

Ref from_values(PyObject*, const Args& args) { return new_pair(real_imag(args)); }
Ref from_polar(PyObject*, const Args& args) {
    const double r = args.get(0, to_float);
    const double theta = args.get(1, to_float);
    return new_pair(pr::from_polar(r, theta));
}
Ref unit_i(PyObject*, const Args&) { return new_pair({0.0, 1.0}); }
Ref one(PyObject*, const Args&) { return new_pair({1.0, 0.0}); }
Ref zero(PyObject*, const Args&) { return new_pair({0.0, 0.0}); }

Ref rotate_phase(PyObject* self, const Args& args) {
    const double angle = args.get(0, to_float);
    return new_pair(pr::rotate(self_pair(self), angle));
}
Ref conjugate(PyObject* self, const Args&) { return new_pair(pr::conjugate(self_pair(self))); }

Ref rotate_phase_n(PyObject*, const Args& args) {
    const Buffer<XY> pairs = args.get(0, to_pairs);
    const FloatVec angles = args.get(1, to_float_list);
    const Buffer<XY> out = pr::rotate_each(pairs, angles);
    return tuple_list(out);
}

Ref schrodinger_step_n(PyObject*, const Args& args) {
    const Buffer<XY> psi = args.get(0, to_pairs);
    const FloatVec v = args.get(1, to_float_list);
    const double dt = args.get(2, to_float);
    const double hbar = args.get(3, to_float);
    const Buffer<XY> out = pr::schrodinger_step(psi, v, dt, hbar);
    return tuple_list(out);
}

// The four arithmetic operators take pairs on both sides; anything else is NotImplemented
// (no mixed arithmetic, no reflected forms).
template <zan::Pair (*Op)(zan::Pair, zan::Pair)>
PyObject* binary(PyObject* a, PyObject* b) noexcept {
    if (!is_pair(a) || !is_pair(b)) Py_RETURN_NOTIMPLEMENTED;
    return boundary([&] { return new_pair(Op(self_pair(a), self_pair(b))).release(); });
}

PyObject* absolute(PyObject* self) noexcept { return PyFloat_FromDouble(pr::modulus(self_pair(self))); }

// Tolerant ==; != is its negation; no ordering.
PyObject* richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if ((op != Py_EQ && op != Py_NE) || !is_pair(other)) Py_RETURN_NOTIMPLEMENTED;
    const bool eq = pr::equal(self_pair(self), self_pair(other));
    return Py_NewRef((eq == (op == Py_EQ)) ? Py_True : Py_False);
}

// "ZANPair(p ± |q|i)": '+' for q >= 0 (negative zero included), '-' for q < 0 or NaN.
PyObject* repr(PyObject* self) noexcept {
    return boundary([&] {
        const zan::Pair& v = self_pair(self);
        std::string s = "ZANPair(";
        zan::format::append_fixed(s, v.re, 6);
        s += v.im >= 0.0 ? " + " : " - ";
        zan::format::append_fixed(s, std::fabs(v.im), 6);
        s += "i)";
        return new_str(s).release();
    });
}

PyObject* get_real(PyObject* self, void*) noexcept { return PyFloat_FromDouble(self_pair(self).re); }
PyObject* get_imag(PyObject* self, void*) noexcept { return PyFloat_FromDouble(self_pair(self).im); }
PyObject* get_modulus(PyObject* self, void*) noexcept { return PyFloat_FromDouble(pr::modulus(self_pair(self))); }
PyObject* get_argument(PyObject* self, void*) noexcept { return PyFloat_FromDouble(pr::argument(self_pair(self))); }

PyMethodDef kMethods[] = {
    method_def<kFromValues, from_values>("from_values", "from_values(real, imag)\n--\n\n", METH_STATIC),
    method_def<kFromPolar, from_polar>("from_polar", "from_polar(r, theta)\n--\n\n", METH_STATIC),
    method_def<kUnitI, unit_i>("unit_i", "unit_i()\n--\n\n", METH_STATIC),
    method_def<kOne, one>("one", "one()\n--\n\n", METH_STATIC),
    method_def<kZero, zero>("zero", "zero()\n--\n\n", METH_STATIC),
    method_def<kRotate, rotate_phase>("rotate_phase", "rotate_phase($self, angle)\n--\n\n"),
    method_def<kConjugate, conjugate>("conjugate", "conjugate($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kMembers[] = {
    {"real", Py_T_DOUBLE, offsetof(PairObject, v) + offsetof(zan::Pair, re), Py_READONLY, nullptr},
    {"imag", Py_T_DOUBLE, offsetof(PairObject, v) + offsetof(zan::Pair, im), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef kGetSets[] = {
    {"real_tension", get_real, nullptr, nullptr, nullptr},
    {"imag_tension", get_imag, nullptr, nullptr, nullptr},
    {"modulus", get_modulus, nullptr, nullptr, nullptr},
    {"argument", get_argument, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("ZANPair(real, imag)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(detail::new_via_vectorcall)},
    {Py_tp_dealloc, reinterpret_cast<void*>(detail::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_nb_add, reinterpret_cast<void*>(binary<pr::add>)},
    {Py_nb_subtract, reinterpret_cast<void*>(binary<pr::sub>)},
    {Py_nb_multiply, reinterpret_cast<void*>(binary<pr::mul>)},
    {Py_nb_true_divide, reinterpret_cast<void*>(binary<pr::div>)},
    {Py_nb_absolute, reinterpret_cast<void*>(absolute)},
    {Py_tp_methods, kMethods},
    {Py_tp_members, kMembers},
    {Py_tp_getset, kGetSets},
    {0, nullptr},
};

PyType_Spec kSpec = {"zan_core.ZANPair", sizeof(PairObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                     kSlots};

}  // namespace

PyTypeObject* zanpair_type() noexcept {
    if (g_type == nullptr) g_type = detail::create_type(kSpec, construct);
    return g_type;
}

Ref new_pair(zan::Pair v) { return detail::make<PairObject>(zanpair_type(), v); }

PyMethodDef rotate_phase_n_def =
    method_def<kRotateN, rotate_phase_n>("rotate_phase_n", "rotate_phase_n(pairs, angles)\n--\n\nBatch rotate_phase for a list of ZANPairs.");
PyMethodDef schrodinger_step_n_def = method_def<kSchrodinger, schrodinger_step_n>(
    "schrodinger_step_n",
    "schrodinger_step_n(psi, v, dt, hbar)\n--\n\n"
    "Batch Schrödinger potential-phase step: ψ_n → e^{-iV_n·dt/ħ}·ψ_n for all n.\n"
    "Returns list of (real, imag) tuples.");

}  // namespace zan::py
