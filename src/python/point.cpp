// ZANPoint: an immutable point (x, y) of the zan plane with its tension and transformations.
#include "python/classes.hpp"

#include <cstddef>
#include <string>

#include "core/format.hpp"
#include "python/convert.hpp"
#include "python/function.hpp"
#include "python/registry.hpp"
#include "python/result.hpp"

namespace zan::py {
namespace {

namespace pt = zan::point;

const zan::Point& self_point(PyObject* self) noexcept { return detail::value<PointObject>(self); }

constexpr const char* kXY[] = {"x", "y"};
constexpr const char* kNextTol[] = {"next", "tol"};
constexpr const char* kPlusC[] = {"plus_signature", "c"};
constexpr const char* kPhiC[] = {"phi", "c"};

constexpr Signature kNew{"ZANPoint.__new__()", kXY, 2};
constexpr Signature kTension{"ZANPoint.tension()", {}, 0};
constexpr Signature kZan{"ZANPoint.zan()", {}, 0};
constexpr Signature kMirror{"ZANPoint.mirror_pulse()", {}, 0};
constexpr Signature kPulse{"ZANPoint.pulse()", {}, 0};
constexpr Signature kFrameShift{"ZANPoint.frame_shift()", {}, 0};
constexpr Signature kSlipping{"ZANPoint.is_slipping()", {}, 0};
constexpr Signature kConserves{"ZANPoint.conserves_tension()", kNextTol, 2};
constexpr Signature kPair{"ZANPoint.pair()", {}, 0};
constexpr Signature kEuclid{"ZANPoint.euclidean_delta()", {}, 0};
constexpr Signature kMinkowski{"ZANPoint.minkowski_delta()", kPlusC, 2};
constexpr Signature kBoost{"ZANPoint.boost()", kPhiC, 2};

PyObject* construct(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    return boundary([&] {
        Args bound(kNew, args, static_cast<Py_ssize_t>(nargsf), kwnames);
        const double x = bound.get(0, to_float);
        const double y = bound.get(1, to_float);
        return detail::make<PointObject>(reinterpret_cast<PyTypeObject*>(type), zan::Point{x, y}).release();
    });
}

Ref tension(PyObject* self, const Args&) { return new_float(pt::tension(self_point(self))); }
Ref mirror_pulse(PyObject* self, const Args&) { return new_point(pt::mirror_pulse(self_point(self))); }
Ref frame_shift(PyObject* self, const Args&) { return new_point(pt::frame_shift(self_point(self))); }
Ref is_slipping(PyObject* self, const Args&) { return Ref::borrow(pt::is_slipping(self_point(self)) ? Py_True : Py_False); }
Ref pair(PyObject* self, const Args&) { return new_pair(pt::frame_pair(self_point(self))); }
Ref euclidean_delta(PyObject* self, const Args&) { return new_float(pt::euclidean_delta(self_point(self))); }

Ref conserves_tension(PyObject* self, const Args& args) {
    const zan::Point& next = args.get(0, to_point);
    const double tol = args.get(1, to_float);
    return Ref::borrow(pt::conserves_tension(self_point(self), next, tol) ? Py_True : Py_False);
}

Ref minkowski_delta(PyObject* self, const Args& args) {
    const bool plus = args.get(0, to_flag);
    const double c = args.get(1, to_float);
    return new_float(pt::minkowski_delta(self_point(self), plus, c));
}

Ref boost(PyObject* self, const Args& args) {
    const double phi = args.get(0, to_float);
    const double c = args.get(1, to_float);
    return new_point(pt::boost(self_point(self), phi, c));
}

PyObject* repr(PyObject* self) noexcept {
    return boundary([&] {
        const zan::Point& p = self_point(self);
        std::string s = "ZANPoint(x=";
        zan::format::append_fixed(s, p.x, 6);
        s += ", y=";
        zan::format::append_fixed(s, p.y, 6);
        s += ")";
        return new_str(s).release();
    });
}

PyMethodDef kMethods[] = {
    method_def<kTension, tension>("tension", "tension($self)\n--\n\n"),
    method_def<kZan, tension>("zan", "zan($self)\n--\n\nAlias for tension() — zan(x, y) = exp(x) - ln(y)."),
    method_def<kMirror, mirror_pulse>("mirror_pulse", "mirror_pulse($self)\n--\n\n"),
    method_def<kPulse, mirror_pulse>("pulse", "pulse($self)\n--\n\nAlias for mirror_pulse()."),
    method_def<kFrameShift, frame_shift>("frame_shift", "frame_shift($self)\n--\n\n"),
    method_def<kSlipping, is_slipping>("is_slipping", "is_slipping($self)\n--\n\n"),
    method_def<kConserves, conserves_tension>("conserves_tension", "conserves_tension($self, next, tol)\n--\n\n"),
    method_def<kPair, pair>(
        "pair", "pair($self)\n--\n\nReturns (exp(x), ln(|y|)) as an ZANPair — canonical frame coordinates."),
    method_def<kEuclid, euclidean_delta>("euclidean_delta",
                                         "euclidean_delta($self)\n--\n\nEuclidean delta: sqrt(exp(2x) + (ln y)^2)."),
    method_def<kMinkowski, minkowski_delta>(
        "minkowski_delta",
        "minkowski_delta($self, plus_signature, c)\n--\n\n"
        "Minkowski interval sqrt(|exp(2x) - (c*ln y)^2|).\n"
        "plus_signature=true means (+---): time-like when exp(2x) > (c*ln y)^2."),
    method_def<kBoost, boost>("boost",
                              "boost($self, phi, c)\n--\n\n"
                              "Lorentz boost by rapidity phi. Returns new ZANPoint with identical Δ_M.\n"
                              "Boost: t' = t*cosh(phi) - (x/c)*sinh(phi), x' = x*cosh(phi) - t*c*sinh(phi)\n"
                              "where t = exp(x_coord), x = ln(y_coord)."),
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kMembers[] = {
    {"x", Py_T_DOUBLE, offsetof(PointObject, v) + offsetof(zan::Point, x), Py_READONLY, nullptr},
    {"y", Py_T_DOUBLE, offsetof(PointObject, v) + offsetof(zan::Point, y), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("ZANPoint(x, y)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(detail::new_via_vectorcall)},
    {Py_tp_dealloc, reinterpret_cast<void*>(detail::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_members, kMembers},
    {0, nullptr},
};

PyType_Spec kSpec = {"zan_core.ZANPoint", sizeof(PointObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                     kSlots};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* zanpoint_type() noexcept {
    if (g_type == nullptr) g_type = detail::create_type(kSpec, construct);
    return g_type;
}

const zan::Point& to_point(PyObject* obj) {
    PyTypeObject* type = zanpoint_type();
    if (type == nullptr) throw PyError{};
    return instance_of<PointObject>(obj, type).v;
}

Ref new_point(zan::Point v) { return detail::make<PointObject>(zanpoint_type(), v); }

}  // namespace zan::py
