// Python glue shared by every extension module of the package.
//
// The modules must behave exactly like plain Python modules: names are looked
// up in the module namespace at each call (so tests and plug-ins can replace
// them), output goes through `print`, arguments are bound with CPython's own
// rules and error texts, and classes are ordinary `type` objects whose methods
// an instance attribute can hide and a Python subclass can override.
#pragma once

#include <nanobind/nanobind.h>
#include <structmember.h>

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace nb = nanobind;

namespace glue {

// ---------------------------------------------------------------- errors

// Raise a new exception of `type` with a text message.
[[noreturn]] inline void raise(PyObject *type, const std::string &msg) {
    PyErr_SetString(type, msg.c_str());
    throw nb::python_error();
}

// Raise an already built exception object.
[[noreturn]] inline void raise_object(nb::handle exc) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw nb::python_error();
}

// Raise `type(msg)` with a message object (say, the result of a `+`).
[[noreturn]] inline void raise(PyObject *type, nb::handle msg) {
    nb::object exc = nb::steal(PyObject_CallOneArg(type, msg.ptr()));
    if (!exc.is_valid()) throw nb::python_error();
    raise_object(exc);
}

// Raise `type(msg)` while handling `caught`: Python would chain the two
// implicitly (`__context__`); C++ has no handled-exception state, so set it.
[[noreturn]] inline void raise_during(PyObject *type, nb::handle msg, nb::python_error &caught) {
    nb::object exc = nb::steal(PyObject_CallOneArg(type, msg.ptr()));
    if (!exc.is_valid()) throw nb::python_error();
    PyException_SetContext(exc.ptr(), caught.value().inc_ref().ptr());
    raise_object(exc);
}

// True when the caught error is an `Exception` (not SystemExit,
// KeyboardInterrupt or GeneratorExit), i.e. what `except Exception` takes.
inline bool is_exception(nb::python_error &e) { return e.matches(PyExc_Exception); }

// ---------------------------------------------------------- name lookup

// The LOAD_GLOBAL rule: the module namespace first, then the builtins.
inline nb::object global(nb::handle globals, const char *name) {
    nb::str key(name);
    PyObject *v = PyDict_GetItemWithError(globals.ptr(), key.ptr());
    if (!v) {
        if (PyErr_Occurred()) throw nb::python_error();
        v = PyDict_GetItemWithError(PyEval_GetBuiltins(), key.ptr());
        if (!v) {
            if (PyErr_Occurred()) throw nb::python_error();
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            throw nb::python_error();
        }
    }
    return nb::borrow(v);
}

// print(*args), with whatever `print` the module sees at this moment.
template <typename... Args> inline void print(nb::handle globals, Args &&...args) {
    global(globals, "print")(std::forward<Args>(args)...);
}

// ------------------------------------------------ interpreter operations

inline nb::object check(PyObject *o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}
// a + b, with the interpreter's own result and error text.
inline nb::object add(nb::handle a, nb::handle b) { return check(PyNumber_Add(a.ptr(), b.ptr())); }
template <typename... Rest> inline nb::object add(nb::handle a, nb::handle b, Rest &&...rest) {
    return add(add(a, b), std::forward<Rest>(rest)...);
}
// `x in c`
inline bool contains(nb::handle c, nb::handle x) {
    int r = PySequence_Contains(c.ptr(), x.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}
inline bool contains(nb::handle c, const char *x) { return contains(c, nb::str(x)); }
// a == b
inline bool eq(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r == 1;
}
inline bool eq(nb::handle a, const char *b) { return eq(a, nb::str(b)); }
// bool(x)
inline bool truth(nb::handle x) {
    int r = PyObject_IsTrue(x.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}
// c[k]
inline nb::object item(nb::handle c, nb::handle k) { return check(PyObject_GetItem(c.ptr(), k.ptr())); }
inline nb::object item(nb::handle c, const char *k) { return item(c, nb::str(k)); }
template <typename I, typename = std::enable_if_t<std::is_integral_v<I>>>
inline nb::object item(nb::handle c, I i) { return item(c, nb::int_(Py_ssize_t(i))); }
// c[k] = v
inline void set_item(nb::handle c, nb::handle k, nb::handle v) {
    if (PyObject_SetItem(c.ptr(), k.ptr(), v.ptr()) < 0) throw nb::python_error();
}
inline void set_item(nb::handle c, const char *k, nb::handle v) { set_item(c, nb::str(k), v); }
// str(x)
inline nb::object str(nb::handle x) { return check(PyObject_Str(x.ptr())); }
inline bool is_str(nb::handle x) { return PyUnicode_Check(x.ptr()); }
// " " * n, as the interpreter computes it (nothing for n <= 0).
inline nb::str spaces(Py_ssize_t n) { return nb::str(std::string(n > 0 ? size_t(n) : 0, ' ').c_str()); }
// len(x)
inline Py_ssize_t len(nb::handle x) {
    Py_ssize_t n = PyObject_Length(x.ptr());
    if (n < 0) throw nb::python_error();
    return n;
}
// s.startswith(p), through the object's own method.
inline bool startswith(nb::handle s, const char *p) { return truth(s.attr("startswith")(p)); }

// iter(x)
inline nb::object iter(nb::handle x) { return check(PyObject_GetIter(x.ptr())); }

// next(it): the next item, or an invalid object at the end; the iterator's
// own errors propagate.
inline nb::object next(nb::handle it) {
    PyObject *raw = PyIter_Next(it.ptr());
    if (!raw && PyErr_Occurred()) throw nb::python_error();
    return nb::steal(raw);
}

// for item in iterable: f(item)
template <typename F> inline void for_each(nb::handle iterable, F &&f) {
    nb::object it = glue::iter(iterable);
    for (nb::object x = glue::next(it); x.is_valid(); x = glue::next(it)) f(x);
}

// `a, b, ... = x`: exactly n items, with the interpreter's error texts.
inline std::vector<nb::object> unpack(nb::handle x, size_t n) {
    PyObject *raw_it = PyObject_GetIter(x.ptr());
    if (!raw_it) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(x.ptr())->tp_name);
        throw nb::python_error();
    }
    nb::object it = nb::steal(raw_it);
    std::vector<nb::object> out;
    for (nb::object x = glue::next(it); x.is_valid(); x = glue::next(it)) {
        if (out.size() == n) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
            throw nb::python_error();
        }
        out.push_back(std::move(x));
    }
    if (out.size() < n) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n, out.size());
        throw nb::python_error();
    }
    return out;
}

// ------------------------------------------------------ argument binding

// A Python signature: positional-or-keyword parameters, the last
// `defaults.size()` of which have defaults (evaluated once, at definition).
struct Signature {
    std::string qualname;
    std::vector<std::string> names;
    std::vector<nb::object> defaults;
};

std::string join_names(const std::vector<std::string> &missing);

// Bind a vectorcall's arguments to the signature exactly as CPython binds a
// plain function, with the same TypeError texts in the same order of checks.
inline std::vector<nb::object> bind(const Signature &sig, PyObject *const *args, size_t given, PyObject *kwnames) {
    const size_t n = sig.names.size();
    std::vector<nb::object> out(n);
    for (size_t i = 0; i < given && i < n; ++i) out[i] = nb::borrow(args[i]);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        nb::handle k = PyTuple_GET_ITEM(kwnames, j), v = args[given + j];
        std::string key = nb::borrow<nb::str>(k).c_str();
        size_t i = 0;
        while (i < n && sig.names[i] != key) ++i;
        if (i == n)
            raise(PyExc_TypeError, sig.qualname + "() got an unexpected keyword argument '" + key + "'");
        if (out[i].is_valid())
            raise(PyExc_TypeError, sig.qualname + "() got multiple values for argument '" + key + "'");
        out[i] = nb::borrow(v);
    }
    const size_t nreq = n - sig.defaults.size();
    if (given > n) {
        std::string takes = nreq == n ? std::to_string(n) : "from " + std::to_string(nreq) + " to " + std::to_string(n);
        raise(PyExc_TypeError, sig.qualname + "() takes " + takes + " positional argument" + (n == 1 && nreq == n ? "" : "s") +
                                   " but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given");
    }
    std::vector<std::string> missing;
    for (size_t i = 0; i < nreq; ++i)
        if (!out[i].is_valid()) missing.push_back(sig.names[i]);
    if (!missing.empty())
        raise(PyExc_TypeError, sig.qualname + "() missing " + std::to_string(missing.size()) + " required positional argument" +
                                   (missing.size() == 1 ? "" : "s") + ": " + join_names(missing));
    for (size_t i = nreq; i < n; ++i)
        if (!out[i].is_valid()) out[i] = sig.defaults[i - nreq];
    return out;
}

inline std::string join_names(const std::vector<std::string> &m) {
    std::string s;
    for (size_t i = 0; i < m.size(); ++i) {
        if (i) s += m.size() == 2 ? " and " : (i + 1 == m.size() ? ", and " : ", ");
        s += "'" + m[i] + "'";
    }
    return s;
}

// ------------------------------------------- functions, methods, classes

// Bound arguments, in signature order.
using Args = std::vector<nb::object>;

// The body of a Python-visible function: the module namespace it was defined
// in and the bound arguments.
using Body = nb::object (*)(nb::handle globals, Args &a);

// The Python-visible face of a C++ function: a callable with `__name__`,
// `__qualname__`, `__module__` and a `__dict__`, that binds to an instance
// the way a Python function does (`__get__`), so that it can stand in a class
// namespace as a method and be wrapped with functools.wraps.
//
// Like a Python closure, it owns the Python objects its body uses (the
// `captured` tuple: the module namespace, and for closures what they close
// over) and shows them to the garbage collector, so a cycle through a
// function (a dataset holding its own generator function) is collected.
using Impl = std::function<nb::object(nb::handle captured, Args &)>;

struct FunctionObject {
    PyObject_HEAD
    Impl *impl;
    Signature *sig;
    PyObject *captured;
    PyObject *name, *qualname, *module, *doc, *dict;
    vectorcallfunc vectorcall;
};

inline PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    try {
        Args a = bind(*f->sig, args, PyVectorcall_NARGS(nargsf), kwnames);
        nb::handle captured(f->captured);
        return (*f->impl)(captured, a).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return nullptr;
}

inline int function_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_VISIT(f->captured);
    Py_VISIT(f->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

inline int function_clear(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_CLEAR(f->captured);
    Py_CLEAR(f->dict);
    return 0;
}

inline void function_dealloc(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    delete f->impl;
    delete f->sig;
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->doc);
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

inline PyObject *function_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline PyObject *function_repr(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    return PyUnicode_FromFormat("<function %S at %p>", f->qualname, self);
}

// The function type, made once per extension module and kept for the life
// of the interpreter (a raw pointer: no destructor runs at exit).
inline PyTypeObject *function_type() {
    static PyTypeObject *type = nullptr;
    if (type) return type;
    static PyMemberDef members[] = {
        {"__name__", T_OBJECT, offsetof(FunctionObject, name), 0, nullptr},
        {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), 0, nullptr},
        {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
        {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
        {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
        {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    static PyGetSetDef getset[] = {{"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
                                   {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
                                  {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
                                  {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
                                  {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
                                  {Py_tp_descr_get, reinterpret_cast<void *>(function_get)},
                                  {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
                                  {Py_tp_members, members},
                                  {Py_tp_getset, getset},
                                  {0, nullptr}};
    static PyType_Spec type_spec = {
        "veltrix.converter.function", sizeof(FunctionObject), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR, slots};
    type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&type_spec));
    if (!type) throw nb::python_error();
    return type;
}

// A function object with the given names whose calls run `impl` on the
// arguments bound by `sig`, with `captured` (a tuple) as its closure.
inline nb::object closure(const char *name, nb::handle module_name, Signature sig, nb::tuple captured, Impl impl) {
    auto owned_impl = std::make_unique<Impl>(std::move(impl));
    auto owned_sig = std::make_unique<Signature>(std::move(sig));
    nb::str qualname(owned_sig->qualname.c_str()), fname(name);
    auto *f = PyObject_GC_New(FunctionObject, function_type());
    if (!f) throw nb::python_error();
    f->impl = owned_impl.release();
    f->sig = owned_sig.release();
    f->captured = captured.release().ptr();
    f->name = fname.release().ptr();
    f->qualname = qualname.release().ptr();
    f->module = Py_NewRef(module_name.is_valid() ? module_name.ptr() : Py_None);
    f->doc = Py_NewRef(Py_None);
    f->dict = nullptr;
    f->vectorcall = function_vectorcall;
    PyObject_GC_Track(f);
    return nb::steal(reinterpret_cast<PyObject *>(f));
}

// A function object that binds its arguments the Python way and runs `body`
// with its module namespace, which it holds as a Python function holds its
// `__globals__`, so late-bound lookups always see the live namespace.
inline nb::object function(nb::handle globals, const char *name, Signature sig, Body body) {
    PyObject *module = PyDict_GetItemString(globals.ptr(), "__name__");
    return closure(name, module, std::move(sig), nb::make_tuple(globals),
                   [body](nb::handle captured, Args &a) { return body(PyTuple_GET_ITEM(captured.ptr(), 0), a); });
}

// Define a module-level function `name(params...)` in the module namespace.
inline void def(nb::module_ &m, const char *name, std::vector<std::string> params, Body body,
                std::vector<nb::object> defaults = {}) {
    m.attr(name) = function(m.attr("__dict__"), name, Signature{name, std::move(params), std::move(defaults)}, body);
}

// An ordinary class built the way the `class` statement builds one:
// `type(name, (object,), namespace)`. Methods are functions wrapped as
// instance methods, so they bind `self` and an instance attribute hides them.
class ClassBuilder {
  public:
    ClassBuilder(nb::module_ &m, const char *name, nb::handle base = nb::handle())
        : m_(m), name_(name), base_(base.is_valid() ? base : nb::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type))) {
        ns_["__module__"] = m.attr("__name__");
        ns_["__qualname__"] = name;
    }
    // `params` excludes self; the TypeError texts name the method by its qualified name.
    ClassBuilder &method(const char *name, std::vector<std::string> params, Body body, std::vector<nb::object> defaults = {},
                         const char *attr_name = nullptr) {
        params.insert(params.begin(), "self");
        std::string qual = name_ + "." + name;
        nb::object f = function(m_.attr("__dict__"), name, Signature{qual, std::move(params), std::move(defaults)}, body);
        ns_[attr_name ? attr_name : name] = f;
        return *this;
    }
    ClassBuilder &attr(const char *name, nb::handle value) {
        ns_[name] = value;
        return *this;
    }
    nb::object build() {
        nb::object type = nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type));
        nb::object cls = type(name_.c_str(), nb::make_tuple(base_), ns_);
        m_.attr(name_.c_str()) = cls;
        return cls;
    }

  private:
    nb::module_ &m_;
    std::string name_;
    nb::handle base_;
    nb::dict ns_;
};

// `import name` / `from package import attr`, bound as the interpreter binds them.
inline nb::object import(const char *name) { return nb::module_::import_(name); }

// `from module import name`, with the interpreter's ImportError text when the
// module lacks the name.
inline nb::object import_from(const char *module, const char *name) {
    nb::object mod = import(module);
    PyObject *v = PyObject_GetAttrString(mod.ptr(), name);
    if (v) return nb::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    // `from package import submodule` imports the submodule.
    std::string sub = std::string(module) + "." + name;
    if (PyObject *m = PyImport_ImportModule(sub.c_str())) {
        Py_DECREF(m);
        if ((v = PyObject_GetAttrString(mod.ptr(), name))) return nb::steal(v);
    }
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_ModuleNotFoundError) &&
        !PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    PyObject *file = PyModule_GetFilenameObject(mod.ptr());
    if (!file) PyErr_Clear();
    nb::object where = file ? nb::steal(file) : nb::object(nb::str("unknown location"));
    nb::str msg = nb::str("cannot import name '{}' from '{}' ({})").format(name, module, where);
    nb::object exc = check(PyObject_CallOneArg(PyExc_ImportError, msg.ptr()));
    PyObject_SetAttrString(exc.ptr(), "name", nb::str(module).ptr());
    raise_object(exc);
}

// ------------------------------------------------------------ generators

// The body of a generator: what runs between two yields. `resume` runs from
// the last yield to the next one and returns the yielded value, or an
// invalid object when the body ends. `thrown` is null for next()/send(), or
// the exception that throw()/close() raises at the yield: a body that does
// not handle it raises it. The body's Python references are visited for the
// garbage collector, since a generator can take part in a cycle.
class GeneratorBody {
  public:
    virtual ~GeneratorBody() = default;
    virtual nb::object resume(nb::handle thrown) = 0;
    virtual int traverse(visitproc, void *) { return 0; }
};

// Raise the exception that was thrown in at the yield.
[[noreturn]] inline void rethrow(nb::handle thrown) { raise_object(thrown); }

struct GeneratorObject {
    PyObject_HEAD
    GeneratorBody *body;  // null once the generator has finished
    bool started, running;
    PyObject *dict;
};

inline void generator_finish(GeneratorObject *g) {
    // Dropping the body releases what it holds (feeds, inner generators)
    // as a finished Python generator drops its frame.
    GeneratorBody *body = g->body;
    g->body = nullptr;
    delete body;
}

// Run the body once; the new reference yielded, or null with an error set
// (StopIteration when the body ended).
inline PyObject *generator_run(GeneratorObject *g, PyObject *thrown) {
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    g->started = true;
    g->running = true;
    try {
        nb::object value = g->body->resume(thrown);
        g->running = false;
        if (value.is_valid()) return value.release().ptr();
        generator_finish(g);
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    } catch (nb::python_error &e) {
        g->running = false;
        generator_finish(g);
        if (e.matches(PyExc_StopIteration)) {
            // A StopIteration escaping the body would end the caller's loop
            // silently; Python turns it into a RuntimeError, and so do we.
            nb::object exc = nb::steal(PyObject_CallOneArg(PyExc_RuntimeError, nb::str("generator raised StopIteration").ptr()));
            if (!exc.is_valid()) return nullptr;
            PyException_SetCause(exc.ptr(), e.value().inc_ref().ptr());
            PyException_SetContext(exc.ptr(), e.value().inc_ref().ptr());
            PyErr_SetObject(PyExc_RuntimeError, exc.ptr());
            return nullptr;
        }
        e.restore();
        return nullptr;
    } catch (const std::exception &e) {
        g->running = false;
        generator_finish(g);
        PyErr_SetString(PyExc_SystemError, e.what());
        return nullptr;
    }
}

inline PyObject *generator_send(PyObject *self, PyObject *value) {
    auto *g = reinterpret_cast<GeneratorObject *>(self);
    if (!g->body) {
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    if (!g->started && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    return generator_run(g, nullptr);
}

inline PyObject *generator_next(PyObject *self) {
    auto *g = reinterpret_cast<GeneratorObject *>(self);
    if (!g->body) return nullptr;  // exhausted: StopIteration without an object
    PyObject *r = generator_send(self, Py_None);
    if (!r && PyErr_ExceptionMatches(PyExc_StopIteration)) {
        // tp_iternext signals the end without an exception set
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        if (v && PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject *>(PyExc_StopIteration)) &&
            reinterpret_cast<PyStopIterationObject *>(v)->value != Py_None) {
            PyErr_Restore(t, v, tb);
            return nullptr;
        }
        Py_XDECREF(t);
        Py_XDECREF(v);
        Py_XDECREF(tb);
    }
    return r;
}

// throw(exc) / throw(type[, value[, traceback]]), as a Python generator takes them.
inline PyObject *generator_throw(PyObject *self, PyObject *args) {
    auto *g = reinterpret_cast<GeneratorObject *>(self);
    PyObject *typ, *val = Py_None, *tb = Py_None;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb)) return nullptr;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    nb::object exc;
    if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = nb::borrow(typ);
    } else if (PyExceptionClass_Check(typ)) {
        if (val != Py_None && PyObject_IsInstance(val, typ) == 1)
            exc = nb::borrow(val);
        else if (val == Py_None)
            exc = nb::steal(PyObject_CallNoArgs(typ));
        else if (PyTuple_Check(val))
            exc = nb::steal(PyObject_Call(typ, val, nullptr));
        else
            exc = nb::steal(PyObject_CallOneArg(typ, val));
        if (!exc.is_valid()) return nullptr;
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb != Py_None && PyException_SetTraceback(exc.ptr(), tb) < 0) return nullptr;
    if (!g->body || !g->started) {
        // Not started or finished: the exception is raised here and now.
        if (g->body) generator_finish(g);
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
        return nullptr;
    }
    return generator_run(g, exc.ptr());
}

inline PyObject *generator_close(PyObject *self, PyObject *) {
    auto *g = reinterpret_cast<GeneratorObject *>(self);
    if (!g->body) Py_RETURN_NONE;
    if (!g->started) {
        generator_finish(g);
        Py_RETURN_NONE;
    }
    nb::object exit = nb::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
    if (!exit.is_valid()) return nullptr;
    PyObject *r = generator_run(g, exit.ptr());
    if (r) {
        Py_DECREF(r);
        PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
        return nullptr;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

inline int generator_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *g = reinterpret_cast<GeneratorObject *>(self);
    Py_VISIT(g->dict);
    Py_VISIT(Py_TYPE(self));
    return g->body ? g->body->traverse(visit, arg) : 0;
}

inline int generator_clear(PyObject *self) {
    auto *g = reinterpret_cast<GeneratorObject *>(self);
    Py_CLEAR(g->dict);
    if (g->body && !g->running) generator_finish(g);
    return 0;
}

// Dropped while suspended: close it, as Python's generator finaliser does.
inline void generator_finalize(PyObject *self) {
    auto *g = reinterpret_cast<GeneratorObject *>(self);
    if (!g->body || !g->started || g->running) return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject *r = generator_close(self, nullptr);
    if (!r)
        PyErr_WriteUnraisable(self);
    else
        Py_DECREF(r);
    PyErr_Restore(t, v, tb);
}

inline void generator_dealloc(PyObject *self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    auto *g = reinterpret_cast<GeneratorObject *>(self);
    PyObject_GC_UnTrack(self);
    if (g->body) generator_finish(g);
    Py_CLEAR(g->dict);
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

inline PyObject *generator_repr(PyObject *self) {
    PyObject *qualname = PyObject_GetAttrString(self, "__qualname__");
    if (!qualname) return nullptr;
    PyObject *r = PyUnicode_FromFormat("<generator object %S at %p>", qualname, self);
    Py_DECREF(qualname);
    return r;
}

inline PyTypeObject *generator_type() {
    static PyTypeObject *type = nullptr;
    if (type) return type;
    static PyMethodDef methods[] = {
        {"send", generator_send, METH_O, nullptr},
        {"throw", generator_throw, METH_VARARGS, nullptr},
        {"close", generator_close, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr}};
    static PyMemberDef members[] = {{"__dictoffset__", T_PYSSIZET, offsetof(GeneratorObject, dict), READONLY, nullptr},
                                    {nullptr, 0, 0, 0, nullptr}};
    static PyGetSetDef getset[] = {{"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
                                   {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void *>(generator_dealloc)},
                                  {Py_tp_repr, reinterpret_cast<void *>(generator_repr)},
                                  {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
                                  {Py_tp_iternext, reinterpret_cast<void *>(generator_next)},
                                  {Py_tp_finalize, reinterpret_cast<void *>(generator_finalize)},
                                  {Py_tp_traverse, reinterpret_cast<void *>(generator_traverse)},
                                  {Py_tp_clear, reinterpret_cast<void *>(generator_clear)},
                                  {Py_tp_methods, methods},
                                  {Py_tp_members, members},
                                  {Py_tp_getset, getset},
                                  {0, nullptr}};
    static PyType_Spec type_spec = {"veltrix.converter.generator", sizeof(GeneratorObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&type_spec));
    if (!type) throw nb::python_error();
    return type;
}

// A new, not yet started generator running `body`, with the given names.
inline nb::object generator(GeneratorBody *body, const char *name, const char *qualname) {
    std::unique_ptr<GeneratorBody> owned(body);
    auto *g = PyObject_GC_New(GeneratorObject, generator_type());
    if (!g) throw nb::python_error();
    g->body = owned.release();
    g->started = g->running = false;
    g->dict = nullptr;
    nb::object result = nb::steal(reinterpret_cast<PyObject *>(g));
    result.attr("__name__") = name;
    result.attr("__qualname__") = qualname;
    PyObject_GC_Track(g);
    return result;
}

// Visit an object held by a generator body (for traverse()).
#define GLUE_VISIT(obj)                                            \
    do {                                                           \
        if ((obj).is_valid()) Py_VISIT((obj).ptr());               \
    } while (0)

}  // namespace glue

// What every module body uses unqualified.
#define GLUE_PRELUDE           \
    using glue::Args;          \
    using glue::add;           \
    using glue::contains;      \
    using glue::eq;            \
    using glue::global;        \
    using glue::item;          \
    using glue::set_item;      \
    using namespace nb::literals
