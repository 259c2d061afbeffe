// ZANKnot: an immutable point with a wrapping pulse counter and a phase, advanced by mirror
// pulses; and simulate_pulses_n, the same pulse map run over a whole trajectory.
#include "python/classes.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "core/format.hpp"
#include "python/convert.hpp"
#include "python/function.hpp"
#include "python/registry.hpp"
#include "python/result.hpp"

namespace zan::py {
namespace {

namespace kn = zan::knot;

const zan::Knot& self_knot(PyObject* self) noexcept { return detail::value<KnotObject>(self); }

constexpr const char* kPointNTheta[] = {"point", "n", "theta"};
constexpr const char* kSimulate[] = {"x0", "y0", "n_pulses"};

constexpr Signature kNew{"ZANKnot.__new__()", kPointNTheta, 1};
constexpr Signature kMirror{"ZANKnot.mirror_pulse()", {}, 0};
constexpr Signature kPulse{"ZANKnot.pulse()", {}, 0};
constexpr Signature kThreeOne{"ZANKnot.three_one_flip()", {}, 0};
constexpr Signature kFlip{"ZANKnot.flip()", {}, 0};
constexpr Signature kTread{"ZANKnot.tread_yield()", {}, 0};
constexpr Signature kSimulatePulses{"simulate_pulses_n()", kSimulate, 3};

PyObject* construct(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    return boundary([&] {
        Args bound(kNew, args, static_cast<Py_ssize_t>(nargsf), kwnames);
        const zan::Point p = bound.get(0, to_point);
        const std::int64_t n = bound.get_or(1, to_int64, std::int64_t{0});
        const double theta = bound.get_or(2, to_float, 0.0);
        return detail::make<KnotObject>(reinterpret_cast<PyTypeObject*>(type), kn::make(p, n, theta)).release();
    });
}

Ref mirror_pulse(PyObject* self, const Args&) { return new_knot(kn::mirror_pulse(self_knot(self))); }
Ref three_one_flip(PyObject* self, const Args&) { return new_knot(kn::three_one_flip(self_knot(self))); }
Ref tread_yield(PyObject* self, const Args&) {
    return Ref::check(PyLong_FromLongLong(kn::tread_yield(self_knot(self))));
}

Ref simulate_pulses_n(PyObject*, const Args& args) {
    const double x0 = args.get(0, to_float);
    const double y0 = args.get(1, to_float);
    const std::uint64_t n = args.get(2, to_uint64);
    const Buffer<kn::Row3> rows = kn::simulate_pulses(x0, y0, n);
    return tuple_list(rows);
}

// "ZANKnot(n=.., rho=.., theta=.., point=ZANPoint { x: .., y: .. })"
PyObject* repr(PyObject* self) noexcept {
    return boundary([&] {
        const zan::Knot& k = self_knot(self);
        std::string s = "ZANKnot(n=";
        s += std::to_string(k.flip_count);
        s += ", rho=";
        zan::format::append_fixed(s, kn::rho(k), 4);
        s += ", theta=";
        zan::format::append_fixed(s, k.phase, 4);
        s += ", point=ZANPoint { x: ";
        zan::format::append_shortest(s, k.point.x);
        s += ", y: ";
        zan::format::append_shortest(s, k.point.y);
        s += " })";
        return new_str(s).release();
    });
}

// A new ZANPoint on every read: the knot holds its coordinates, not a point object.
PyObject* get_point(PyObject* self, void*) noexcept {
    return boundary([&] { return new_point(self_knot(self).point).release(); });
}
PyObject* get_flip_count(PyObject* self, void*) noexcept { return PyLong_FromLongLong(self_knot(self).flip_count); }
PyObject* get_phase(PyObject* self, void*) noexcept { return PyFloat_FromDouble(self_knot(self).phase); }
PyObject* get_rho(PyObject* self, void*) noexcept { return PyFloat_FromDouble(kn::rho(self_knot(self))); }

PyMethodDef kMethods[] = {
    method_def<kMirror, mirror_pulse>("mirror_pulse", "mirror_pulse($self)\n--\n\n"),
    method_def<kPulse, mirror_pulse>("pulse", "pulse($self)\n--\n\nAlias for mirror_pulse()."),
    method_def<kThreeOne, three_one_flip>("three_one_flip", "three_one_flip($self)\n--\n\n"),
    method_def<kFlip, three_one_flip>("flip", "flip($self)\n--\n\nAlias for three_one_flip()."),
    method_def<kTread, tread_yield>("tread_yield", "tread_yield($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSets[] = {
    {"point", get_point, nullptr, nullptr, nullptr},
    {"flip_count", get_flip_count, nullptr, nullptr, nullptr},
    {"phase", get_phase, nullptr, nullptr, nullptr},
    {"rho", get_rho, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("ZANKnot(point, n=0, theta=0.0)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(detail::new_via_vectorcall)},
    {Py_tp_dealloc, reinterpret_cast<void*>(detail::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSets},
    {0, nullptr},
};

PyType_Spec kSpec = {"zan_core.ZANKnot", sizeof(KnotObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                     kSlots};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* zanknot_type() noexcept {
    if (g_type == nullptr) g_type = detail::create_type(kSpec, construct);
    return g_type;
}

Ref new_knot(const zan::Knot& v) { return detail::make<KnotObject>(zanknot_type(), v); }

PyMethodDef simulate_pulses_n_def = method_def<kSimulatePulses, simulate_pulses_n>(
    "simulate_pulses_n",
    "simulate_pulses_n(x0, y0, n_pulses)\n--\n\nSimulate n_pulses of mirror_pulse, returning (x, y, tension) per step.");

}  // namespace zan::py
