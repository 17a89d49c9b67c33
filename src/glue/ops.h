// Interpreter operations written as C++ calls: each one runs the protocol
// Python runs for the same expression (`a + b`, `x in c`, `c[k]`, `str(x)`,
// `next(it)`, unpacking), so results and error texts are the interpreter's.
// Also the LOAD_GLOBAL lookup of late-bound names and `print`. Every loop
// over an iterator checks for signals at each item, as the interpreter's
// loop does, so Ctrl-C is heard in a long native loop.
#pragma once

#include "bridge.h"
#include "errors.h"

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace glue {

// ---------------------------------------------------------- name lookup

// The builtins of the running function: those it took from its module when
// it was defined, as a Python function does.
inline nb::handle running_builtins() {
    const GlueApi *table = api();
    if (!table) throw nb::python_error();
    PyObject *b = table->current_builtins();
    return b ? nb::handle(b) : nb::handle(PyEval_GetBuiltins());
}

// The LOAD_GLOBAL rule: the module namespace first, then the builtins.
inline nb::object global(nb::handle globals, const char *name) {
    nb::str key(name);
    PyObject *v = PyDict_GetItemWithError(globals.ptr(), key.ptr());
    if (v) return nb::borrow(v);
    if (PyErr_Occurred()) throw nb::python_error();
    nb::handle builtins = running_builtins();
    if (PyDict_CheckExact(builtins.ptr())) {
        v = PyDict_GetItemWithError(builtins.ptr(), key.ptr());
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) throw nb::python_error();
    } else {
        PyObject *found = PyObject_GetItem(builtins.ptr(), key.ptr());
        if (found) return nb::steal(found);
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw nb::python_error();
}

// print(*args), with whatever `print` the module sees at this moment.
template <typename... Args> inline void print(nb::handle globals, Args &&...args) {
    global(globals, "print")(std::forward<Args>(args)...);
}

// ------------------------------------------------------------ operations

// a + b (+ c ...)
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
inline nb::object str_of(nb::handle x) { return check(PyObject_Str(x.ptr())); }
inline bool is_str(nb::handle x) { return PyUnicode_Check(x.ptr()); }
// " " * n, as the interpreter computes it (nothing for n <= 0).
inline nb::str spaces(Py_ssize_t n) { return nb::str(std::string(n > 0 ? size_t(n) : 0, ' ').c_str()); }
// len(x)
inline Py_ssize_t length_of(nb::handle x) {
    Py_ssize_t n = PyObject_Length(x.ptr());
    if (n < 0) throw nb::python_error();
    return n;
}
// s.startswith(p), through the object's own method.
inline bool startswith(nb::handle s, const char *p) { return truth(s.attr("startswith")(p)); }

// iter(x)
inline nb::object iterator_of(nb::handle x) { return check(PyObject_GetIter(x.ptr())); }

// next(it) inside a loop: the next item, or an invalid object at the end.
// The iterator's own errors propagate, and so does a signal handler's
// (KeyboardInterrupt), checked before each item.
inline nb::object next_or_end(nb::handle it) {
    if (PyErr_CheckSignals() < 0) throw nb::python_error();
    PyObject *raw = PyIter_Next(it.ptr());
    if (!raw && PyErr_Occurred()) throw nb::python_error();
    return nb::steal(raw);
}

// for item in iterable: f(item)
template <typename F> inline void for_each(nb::handle iterable, F &&f) {
    nb::object it = iterator_of(iterable);
    for (nb::object x = next_or_end(it); x.is_valid(); x = next_or_end(it)) f(x);
}

// for key in source: table[key] = source[key]
inline void copy_entries(nb::handle table, nb::handle source) {
    for_each(source, [&](nb::handle key) { set_item(table, key, item(source, key)); });
}

// `a, b, ... = x`: exactly n items, with the interpreter's error texts. As
// the interpreter does, an iteration error is rewritten only for an object
// that is not iterable at all (no __iter__, not a sequence).
inline std::vector<nb::object> unpack(nb::handle x, size_t n) {
    PyObject *raw_it = PyObject_GetIter(x.ptr());
    if (!raw_it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(x.ptr())->tp_iter && !PySequence_Check(x.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(x.ptr())->tp_name);
        }
        throw nb::python_error();
    }
    nb::object it = nb::steal(raw_it);
    std::vector<nb::object> out;
    for (nb::object v = next_or_end(it); v.is_valid(); v = next_or_end(it)) {
        if (out.size() == n) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
            throw nb::python_error();
        }
        out.push_back(std::move(v));
    }
    if (out.size() < n) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n, out.size());
        throw nb::python_error();
    }
    return out;
}

}  // namespace glue
