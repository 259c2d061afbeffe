// The discovery engine's native entries, private to the package: the Python layer
// (zan_math._discover) validates and shapes the data, these convert and call the core.
//
//   discover(columns, target, options, on_level=None, cancel=None, source=None, weights=None)
//   predict(program, constants, columns, out)
//   normal(program, constants, columns, target, weights=None)
//   refit(program, constants, columns, target, weights=None)
//
// weights: one float64 weight per row, or None for every row counting once.
//
// columns is a (variables × rows) float64 array; programs are tuples of postfix tokens
// ("var", i), ("const", v), ("param", k), ("op", name).
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/discover/engine/data_source.hpp"
#include "core/discover/engine/engine.hpp"
#include "core/discover/engine/lm.hpp"
#include "core/discover/engine/noise_level.hpp"
#include "core/discover/engine/operator_use.hpp"
#include "core/discover/engine/predict.hpp"
#include "core/discover/engine/tuning.hpp"
#include "core/discover/interval.hpp"
#include "core/discover/operators.hpp"
#include "python/buffer_view.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/function.hpp"
#include "python/native_registry.hpp"
#include "python/operators.hpp"
#include "python/result.hpp"

namespace zan::py {
namespace {

namespace zd = zan::discover;
namespace ze = zan::discover::engine;

// ---- programs ------------------------------------------------------------------------

// The index of a "var" or "param" token; a negative one is named as such, not as an overflow.
std::uint64_t token_index(PyObject* value, Py_ssize_t position, const char* kind) {
    Ref index = PyLong_Check(value) ? Ref::borrow(value) : Ref::check(PyNumber_Index(value));
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyError{};
    if (overflow < 0 || (overflow == 0 && v < 0))
        raise_format(PyExc_ValueError, "token %zd: a %s index must not be negative", position, kind);
    return to_uint64(index.get());
}

zd::Expr to_program(PyObject* obj, std::size_t n_vars) {
    Ref seq = Ref::check(PySequence_Fast(obj, "program must be a sequence of tokens"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    zd::Expr e;
    e.n_vars = n_vars;
    std::size_t depth = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(item, 0)))
            raise(PyExc_ValueError, "a program token is a (kind, value) tuple");
        const char* kind = PyUnicode_AsUTF8(PyTuple_GET_ITEM(item, 0));
        if (kind == nullptr) throw PyError{};
        PyObject* value = PyTuple_GET_ITEM(item, 1);
        if (std::strcmp(kind, "var") == 0) {
            const std::uint64_t v = token_index(value, i, kind);
            if (v >= n_vars) raise_format(PyExc_ValueError, "variable %llu out of range", static_cast<unsigned long long>(v));
            e.tokens.push_back(zd::Token::make_var(v));
            ++depth;
        } else if (std::strcmp(kind, "const") == 0) {
            e.tokens.push_back(zd::Token::make_const(to_float(value)));
            ++depth;
        } else if (std::strcmp(kind, "param") == 0) {
            e.tokens.push_back(zd::Token::make_param(token_index(value, i, kind), 0.0));
            ++depth;
        } else if (std::strcmp(kind, "op") == 0) {
            if (!PyUnicode_Check(value)) raise(PyExc_ValueError, "an operator token names its operator");
            const char* name = PyUnicode_AsUTF8(value);
            if (name == nullptr) throw PyError{};
            zd::Operator op;
            if (!zd::operator_named(name, op)) raise_format(PyExc_ValueError, "unknown operator %.60s", name);
            if (depth < zd::arity(op)) raise(PyExc_ValueError, "program has too few operands");
            depth -= zd::arity(op) - 1;
            e.tokens.push_back(zd::Token::make_op(op));
        } else {
            raise_format(PyExc_ValueError, "unknown token kind %.20s", kind);
        }
    }
    if (depth != 1) raise(PyExc_ValueError, "program must leave exactly one value");
    return e;
}

// Every constant the program reads is one of those given: the engine reads no slot past them.
void check_params(const zd::Expr& program, std::size_t count) {
    for (std::size_t i = 0; i < program.tokens.size(); ++i) {
        const zd::Token& t = program.tokens[i];
        if (t.kind == zd::Token::Kind::Param && t.index >= count)
            raise_format(PyExc_ValueError, "token %zu: constant %zu is not one of the %zu constants", i, t.index, count);
    }
}

Ref token_tuple(const zd::Token& t) {
    switch (t.kind) {
        case zd::Token::Kind::Var: return Ref::check(Py_BuildValue("(sn)", "var", static_cast<Py_ssize_t>(t.index)));
        case zd::Token::Kind::Const: return Ref::check(Py_BuildValue("(sd)", "const", t.value));
        case zd::Token::Kind::Param: return Ref::check(Py_BuildValue("(sn)", "param", static_cast<Py_ssize_t>(t.index)));
        case zd::Token::Kind::Op: {
            const std::string_view name = zd::info(t.op).name;
            return Ref::check(Py_BuildValue("(ss#)", "op", name.data(), static_cast<Py_ssize_t>(name.size())));
        }
    }
    return Ref::borrow(Py_None);
}

Ref program_tuple(const zd::Expr& e) {
    Ref out = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(e.tokens.size())));
    for (std::size_t i = 0; i < e.tokens.size(); ++i)
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), token_tuple(e.tokens[i]).release());
    return out;
}

Ref float_tuple(std::span<const double> values) {
    Ref out = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i)
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), new_float(values[i]).release());
    return out;
}

std::vector<std::span<const double>> column_spans(const BufferView& columns) {
    std::vector<std::span<const double>> spans;
    for (std::size_t c = 0; c < columns.rows(); ++c) spans.push_back(columns.row(c));
    return spans;
}

// The rows' weights from a 1-D float64 buffer (None: unweighted), held for the call.
class Weights {
public:
    Weights(PyObject* obj, std::size_t rows) {
        if (obj == nullptr || obj == Py_None) return;
        view_.emplace(obj, 1, false, "weights");
        if (view_->rows() != rows) raise(PyExc_ValueError, "weights must hold one weight per row");
    }
    [[nodiscard]] std::span<const double> span() const noexcept {
        return view_ ? std::span<const double>(view_->data(), view_->rows()) : std::span<const double>();
    }

private:
    std::optional<BufferView> view_;
};

// ---- options -------------------------------------------------------------------------

ze::EngineConfig to_config(PyObject* options) {
    ze::EngineConfig config;
    if (options == nullptr || options == Py_None) return config;
    if (!PyDict_Check(options)) raise(PyExc_TypeError, "options must be a dict");
    // The operator set: picked by name, or today's default adjusted by the two switches it
    // grew from. Both at once would leave one of them unheeded.
    std::optional<std::uint32_t> picked;
    std::optional<bool> use_trig, use_zan;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(options, &pos, &key, &value)) {
        const char* k = PyUnicode_AsUTF8(key);
        if (k == nullptr) throw PyError{};
        const std::string_view name(k);
        if (name == "max_complexity") config.max_complexity = to_uint64(value);
        else if (name == "search_size") config.search_size = to_uint64(value);
        else if (name == "sample_rows") config.sample_rows = to_uint64(value);
        else if (name == "validation_rows") config.validation_rows = to_uint64(value);
        else if (name == "beam_per_size") config.beam_per_size = to_uint64(value);
        else if (name == "join_per_size") config.join_per_size = to_uint64(value);
        else if (name == "max_terms") config.max_terms = to_uint64(value);
        else if (name == "max_inner_constants") config.max_inner_constants = to_uint64(value);
        else if (name == "operators") picked = to_operator_set(value);
        else if (name == "use_trig") use_trig = to_flag(value);
        else if (name == "use_zan") use_zan = to_flag(value);
        else if (name == "transform_target") config.transform_target = to_flag(value);
        else if (name == "time_limit") config.time_limit = to_float(value);
        else if (name == "noise_nmse") config.noise_nmse = to_float(value);
        else if (name == "selection") {
            const char* s = PyUnicode_AsUTF8(value);
            if (s == nullptr) throw PyError{};
            config.selection = std::strcmp(s, "accuracy") == 0 ? ze::Selection::Accuracy : ze::Selection::Best;
        } else {
            raise_format(PyExc_ValueError, "unknown engine option %.60s", k);
        }
    }
    if (picked && (use_trig || use_zan))
        raise(PyExc_ValueError, "give the operators either as operators or by use_trig and use_zan, not both");
    if (picked) config.operators = *picked;
    if (use_trig) config.operators = zd::with_trig(config.operators, *use_trig);
    if (use_zan) config.operators = zd::with_zan(config.operators, *use_zan);
    if (const std::optional<std::string> wrong = ze::invalid_option(config))
        raise_format(PyExc_ValueError, "%s", wrong->c_str());
    return config;
}

// ---- calling back into Python from the search ------------------------------------------

// The first exception a callback raised; the search stops and the caller re-raises it.
class CallbackError {
public:
    void capture() noexcept { if (!exc_) exc_ = Ref::steal(PyErr_GetRaisedException()); else PyErr_Clear(); }
    [[nodiscard]] bool set() const noexcept { return static_cast<bool>(exc_); }
    void restore() { if (exc_) { PyErr_SetRaisedException(exc_.release()); throw PyError{}; } }

private:
    Ref exc_;
};

// Rows that live elsewhere (a distributed array): a Python object with `rows` and
// `normal(program, constants) -> (jtj, jtr, cost, ok)`, jtj row-major; with weighted rows,
// also `weight_total`, their Σw, and normal weighs them.
class PythonSource final : public ze::DataSource {
public:
    PythonSource(PyObject* obj, std::size_t n_vars, CallbackError& error) : obj_(obj), n_vars_(n_vars), error_(error) {
        Ref rows = Ref::check(PyObject_GetAttrString(obj, "rows"));
        rows_ = to_uint64(rows.get());
        weight_total_ = static_cast<double>(rows_);
        if (PyObject_HasAttrString(obj, "weight_total")) {
            Ref total = Ref::check(PyObject_GetAttrString(obj, "weight_total"));
            weight_total_ = to_float(total.get());
            if (!(weight_total_ > 0.0) || !std::isfinite(weight_total_))
                raise(PyExc_ValueError, "a source's weight_total must be positive and finite");
        }
    }
    [[nodiscard]] std::size_t rows() const override { return rows_; }
    [[nodiscard]] double weight_total() const override { return weight_total_; }
    [[nodiscard]] ze::NormalEquations normal(const zd::Expr& program, std::span<const double> params) override {
        ze::NormalEquations ne;
        ne.params = params.size();
        if (error_.set()) return ne;
        PyGILState_STATE gil = PyGILState_Ensure();
        try {
            Ref prog = program_tuple(program);
            Ref values = float_tuple(params);
            Ref r = Ref::check(PyObject_CallMethod(obj_, "normal", "OO", prog.get(), values.get()));
            PyObject *jtj, *jtr, *cost, *ok;
            if (!PyArg_ParseTuple(r.get(), "OOOO", &jtj, &jtr, &cost, &ok)) throw PyError{};
            FloatVec a = to_float_list(jtj), b = to_float_list(jtr);
            const std::size_t p = params.size();
            if (a.size() != p * p || b.size() != p) raise(PyExc_ValueError, "normal() returned arrays of the wrong size");
            for (std::size_t i = 0; i < p; ++i) {
                ne.jtr[i] = b[i];
                for (std::size_t j = 0; j < p; ++j) ne.jtj[i * ze::kMaxLmParams + j] = a[i * p + j];
            }
            ne.cost = to_float(cost);
            ne.ok = PyObject_IsTrue(ok) == 1;
        } catch (const PyError&) {
            error_.capture();
            ne.ok = false;
        }
        PyGILState_Release(gil);
        return ne;
    }

private:
    PyObject* obj_;
    std::size_t n_vars_;
    std::size_t rows_ = 0;
    double weight_total_ = 0.0;
    CallbackError& error_;
};

// Results cross as dicts keyed by the fields' names, which the Python side reads by name.
Ref level_dict(const ze::LevelReport& r) {
    const std::size_t exact = r.best_complexity == static_cast<std::size_t>(-1) ? 0 : r.best_complexity;
    return Ref::check(Py_BuildValue("{s:n,s:n,s:n,s:d,s:n,s:d}", "level", static_cast<Py_ssize_t>(r.level),
                                    "candidates", static_cast<Py_ssize_t>(r.candidates), "kept",
                                    static_cast<Py_ssize_t>(r.kept), "best_nmse", r.best_nmse, "best_exact",
                                    static_cast<Py_ssize_t>(exact), "seconds", r.seconds));
}

Ref formula_dict(const ze::Formula& f) {
    Ref program = program_tuple(f.program);
    Ref constants = float_tuple(f.constants);
    return Ref::check(Py_BuildValue("{s:O,s:O,s:n,s:d,s:d,s:d}", "program", program.get(), "constants",
                                    constants.get(), "complexity", static_cast<Py_ssize_t>(f.complexity), "loss",
                                    f.loss, "nmse", f.nmse, "score", f.score));
}

// ---- entries -------------------------------------------------------------------------

// The interpreter lock, released for a native computation and taken back however it ends.
class ReleasedLock {
public:
    ReleasedLock() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleasedLock() { PyEval_RestoreThread(state_); }
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

private:
    PyThreadState* state_;
};

// A program and its constants over (variables × rows) columns: the arguments every entry
// but discover begins with.
struct ProgramCall {
    BufferView columns;
    zd::Expr program;
    FloatVec constants;
    std::vector<std::span<const double>> spans;

    explicit ProgramCall(const Args& args)
        : columns(args[2], 2, false, "columns"), program(to_program(args[0], columns.rows())),
          constants(args.get(1, to_float_list)), spans(column_spans(columns)) {
        if (columns.rows() == 0) raise(PyExc_ValueError, "columns must hold at least one variable");
        check_params(program, constants.size());
    }
    [[nodiscard]] std::span<const double> params() const { return {constants.data(), constants.size()}; }
};

constexpr const char* kDiscoverParams[] = {"columns", "target", "options", "on_level", "cancel", "source", "weights"};
constexpr Signature kDiscover{"discover()", kDiscoverParams, 3};
static_assert(std::size(kDiscoverParams) <= Args::kMaxParams);

Ref discover(PyObject*, const Args& args) {
    BufferView columns(args[0], 2, false, "columns");
    BufferView target(args[1], 1, false, "target");
    const ze::EngineConfig config = to_config(args[2]);
    PyObject* on_level = args[3] != Py_None ? args[3] : nullptr;
    Py_buffer cancel_view{};
    const bool has_cancel = args[4] != nullptr && args[4] != Py_None;
    if (has_cancel && PyObject_GetBuffer(args[4], &cancel_view, PyBUF_SIMPLE) < 0) throw PyError{};
    struct Release {
        Py_buffer* v;
        bool on;
        ~Release() { if (on) PyBuffer_Release(v); }
    } release{&cancel_view, has_cancel};

    if (columns.rows() == 0) raise(PyExc_ValueError, "columns must hold at least one variable");
    if (columns.cols() != target.rows()) raise(PyExc_ValueError, "columns and target differ in rows");
    const std::vector<std::span<const double>> spans = column_spans(columns);
    const std::span<const double> y(target.data(), target.rows());
    const Weights weights(args[6], target.rows());

    CallbackError error;
    ze::Control control;
    const volatile unsigned char* flag =
        has_cancel && cancel_view.len > 0 ? static_cast<const volatile unsigned char*>(cancel_view.buf) : nullptr;
    control.should_stop = [flag, &error] { return (flag != nullptr && *flag != 0) || error.set(); };
    if (on_level != nullptr) {
        control.on_level = [on_level, &error](const ze::LevelReport& r) {
            PyGILState_STATE gil = PyGILState_Ensure();
            bool go_on = true;
            try {
                Ref info = level_dict(r);
                Ref back = Ref::check(PyObject_CallOneArg(on_level, info.get()));
                go_on = back.get() != Py_False;
            } catch (const PyError&) {
                error.capture();
                go_on = false;
            }
            PyGILState_Release(gil);
            return go_on;
        };
    }

    std::optional<PythonSource> remote;
    if (args[5] != nullptr && args[5] != Py_None) remote.emplace(args[5], spans.size(), error);

    ze::Result result;
    std::optional<std::string> invalid;
    {
        ReleasedLock unlocked;
        try {
            result = remote ? ze::discover(zd::Columns(spans), y, weights.span(), *remote, config, control)
                            : ze::discover(zd::Columns(spans), y, weights.span(), config, control);
        } catch (const std::invalid_argument& e) {
            invalid = e.what();
        }
    }
    if (invalid) raise_format(PyExc_ValueError, "%s", invalid->c_str());
    error.restore();

    Ref front = Ref::check(PyList_New(static_cast<Py_ssize_t>(result.front.size())));
    for (std::size_t i = 0; i < result.front.size(); ++i)
        PyList_SET_ITEM(front.get(), static_cast<Py_ssize_t>(i), formula_dict(result.front[i]).release());
    Ref levels = Ref::check(PyList_New(static_cast<Py_ssize_t>(result.levels.size())));
    for (std::size_t i = 0; i < result.levels.size(); ++i)
        PyList_SET_ITEM(levels.get(), static_cast<Py_ssize_t>(i), level_dict(result.levels[i]).release());
    return Ref::check(Py_BuildValue("{s:O,s:n,s:O,s:O}", "front", front.get(), "best",
                                    static_cast<Py_ssize_t>(result.best), "interrupted",
                                    result.interrupted ? Py_True : Py_False, "levels", levels.get()));
}

constexpr const char* kPredictParams[] = {"program", "constants", "columns", "out"};
constexpr Signature kPredict{"predict()", kPredictParams, 4};

Ref predict(PyObject*, const Args& args) {
    const ProgramCall call(args);
    BufferView out(args[3], 1, true, "out");
    if (out.rows() != call.columns.cols()) raise(PyExc_ValueError, "out must have one value per row");
    {
        ReleasedLock unlocked;
        ze::predict(call.program, zd::Columns(call.spans), call.params(), out.data());
    }
    return Ref::borrow(Py_None);
}

constexpr const char* kNormalParams[] = {"program", "constants", "columns", "target", "weights"};
constexpr Signature kNormal{"normal()", kNormalParams, 4};

Ref normal(PyObject*, const Args& args) {
    const ProgramCall call(args);
    BufferView target(args[3], 1, false, "target");
    if (call.constants.size() > ze::kMaxLmParams) raise(PyExc_ValueError, "too many constants");
    if (call.columns.cols() != target.rows()) raise(PyExc_ValueError, "columns and target differ in rows");
    const Weights weights(args[4], target.rows());
    ze::NormalEquations ne;
    {
        ReleasedLock unlocked;
        ne = ze::normal_equations(call.program, call.params(), zd::Columns(call.spans),
                                  std::span<const double>(target.data(), target.rows()), weights.span());
    }
    const std::size_t p = call.constants.size();
    std::vector<double> jtj(p * p);
    for (std::size_t i = 0; i < p; ++i)
        for (std::size_t j = 0; j < p; ++j) jtj[i * p + j] = ne.jtj[i * ze::kMaxLmParams + j];
    Ref a = float_tuple(jtj);
    Ref b = float_tuple(std::span<const double>(ne.jtr.data(), p));
    return Ref::check(Py_BuildValue("(OOdO)", a.get(), b.get(), ne.cost, ne.ok ? Py_True : Py_False));
}

constexpr const char* kRefitParams[] = {"program", "constants", "columns", "target", "weights"};
constexpr Signature kRefit{"refit()", kRefitParams, 4};

// The program's constants refitted to the rows by the engine's Levenberg–Marquardt, from the
// given ones: (constants, squared error, ok). Held-out checks refit on part of the rows.
Ref refit(PyObject*, const Args& args) {
    const ProgramCall call(args);
    BufferView target(args[3], 1, false, "target");
    if (call.constants.size() > ze::kMaxLmParams) raise(PyExc_ValueError, "too many constants");
    if (call.columns.cols() != target.rows()) raise(PyExc_ValueError, "columns and target differ in rows");
    const Weights weights(args[4], target.rows());
    ze::LmResult fit;
    {
        ReleasedLock unlocked;
        ze::ColumnSource rows(zd::Columns(call.spans), std::span<const double>(target.data(), target.rows()),
                              weights.span());
        if (call.constants.empty()) {
            const ze::NormalEquations ne = rows.normal(call.program, call.params());
            fit.cost = ne.cost;
            fit.ok = ne.ok;
        } else {
            ze::ProgramProblem problem(call.program, rows, call.constants.size());
            fit = ze::levenberg_marquardt(problem, call.params());
        }
    }
    Ref constants = float_tuple(fit.ok ? std::span<const double>(fit.theta) : call.params());
    return Ref::check(Py_BuildValue("(OdO)", constants.get(), fit.cost, fit.ok ? Py_True : Py_False));
}

constexpr const char* kAdmitParams[] = {"program", "constants", "lows", "highs", "bound"};
constexpr Signature kAdmit{"admit()", kAdmitParams, 5};

// Whether the program has a value within ±bound at every point of the box [lows, highs]
// (interval arithmetic, halving where it cannot decide, then dense samples).
Ref admit(PyObject*, const Args& args) {
    const FloatVec lows = args.get(2, to_float_list), highs = args.get(3, to_float_list);
    if (lows.size() != highs.size() || lows.empty()) raise(PyExc_ValueError, "lows and highs must pair up, one per variable");
    const zd::Expr program = to_program(args[0], lows.size());
    const FloatVec constants = args.get(1, to_float_list);
    check_params(program, constants.size());
    const double bound = args.get(4, to_float);
    std::vector<zd::Interval> box;
    for (std::size_t i = 0; i < lows.size(); ++i) box.push_back({lows[i], highs[i]});
    zd::BoxVerdict verdict{};
    try {
        ReleasedLock unlocked;
        verdict = zd::admit_on_box(program, std::span<const double>(constants.data(), constants.size()), box, bound);
    } catch (const std::invalid_argument& e) {
        raise_format(PyExc_ValueError, "%s", e.what());
    }
    return Ref::borrow(verdict == zd::BoxVerdict::Safe ? Py_True : Py_False);
}

constexpr const char* kWithinParams[] = {"program", "options"};
constexpr Signature kWithin{"within_operators()", kWithinParams, 2};

// Whether the program keeps to the operators the engine options allow, as the search's own
// formulas do: the package's additions to the front pass the same check.
Ref within_operators(PyObject*, const Args& args) {
    const zd::Expr program = to_program(args[0], std::numeric_limits<std::size_t>::max());
    const ze::EngineConfig config = to_config(args[1]);
    return Ref::borrow(ze::within_operators(program, config.operators) ? Py_True : Py_False);
}

// The engine's own defaults for the options the Python layer declares, so a test can hold
// the two against each other, the most constants one fit takes, and what the best of many
// fits gains on the noise by chance (the package judges fits within the noise by it too),
// and the rounding of a target's values, under which its spread and losses are not told apart.
constexpr std::span<const char* const> kNoParams{};
constexpr Signature kEngineDefaults{"engine_defaults()", kNoParams, 0};

Ref engine_defaults(PyObject*, const Args&) {
    const ze::EngineConfig c;
    Ref out = Ref::check(Py_BuildValue(
        "{s:n,s:s,s:N,s:d,s:d}", "max_constants", static_cast<Py_ssize_t>(ze::kMaxLmParams), "selection",
        c.selection == ze::Selection::Accuracy ? "accuracy" : "best", "time_limit",
        c.time_limit > 0.0 ? new_float(c.time_limit).release() : Py_NewRef(Py_None), "noise_chance_gain",
        ze::kNoiseChanceGain, "target_rounding", ze::kTargetRounding));
    // each whole-number setting: its default, and its range under "<name>_range"
    for (const ze::CountRange& r : ze::count_ranges(c)) {
        Ref value = Ref::check(PyLong_FromSize_t(r.value));
        Ref range = Ref::check(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(r.lo), static_cast<Py_ssize_t>(r.hi)));
        if (PyDict_SetItemString(out.get(), r.name, value.get()) < 0) throw PyError{};
        const std::string key = std::string(r.name) + "_range";
        if (PyDict_SetItemString(out.get(), key.c_str(), range.get()) < 0) throw PyError{};
    }
    return out;
}

}  // namespace

namespace native {

PyMethodDef kDiscoverMethods[] = {
    method_def<kDiscover, discover>("discover", "discover(columns, target, options, on_level=None, cancel=None, source=None, weights=None)\n--\n\n"),
    method_def<kPredict, predict>("predict", "predict(program, constants, columns, out)\n--\n\n"),
    method_def<kNormal, normal>("normal", "normal(program, constants, columns, target, weights=None)\n--\n\n"),
    method_def<kAdmit, admit>("admit", "admit(program, constants, lows, highs, bound)\n--\n\n"),
    method_def<kWithin, within_operators>("within_operators", "within_operators(program, options)\n--\n\n"),
    method_def<kRefit, refit>("refit", "refit(program, constants, columns, target, weights=None)\n--\n\n"),
    method_def<kEngineDefaults, engine_defaults>("engine_defaults", "engine_defaults()\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace native
}  // namespace zan::py
