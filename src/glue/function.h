// Python-visible functions made of C++ bodies: module-level functions,
// methods (through ClassBuilder in classes.h) and closures. The function
// type itself (argument binding with CPython's texts, the recursion and
// C-stack guards, descriptors, pickling by name, the attributes tools read)
// lives in function.cpp, built into `veltrix.converter._glue`; this side
// hands it C function pointers (bridge.h) that run a C++ body and turn any
// C++ exception into a Python one.
#pragma once

#include "bridge.h"
#include "ops.h"

#include <functional>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace glue {

// A Python signature: positional-or-keyword parameters, the last
// `defaults.size()` of which have defaults (evaluated once, at definition).
struct Signature {
    std::string qualname;
    std::vector<std::string> names;
    std::vector<nb::object> defaults;
    bool makes_generator = false;  // a generator function (inspect.isgeneratorfunction)
};

// Bound arguments, in signature order.
using Args = std::vector<nb::object>;

// What a closure runs: its closure tuple and the bound arguments.
using Impl = std::function<nb::object(nb::handle captured, Args &)>;

// The body of a module-level function or method: the module namespace it
// was defined in and the bound arguments.
using Body = nb::object (*)(nb::handle globals, Args &a);

// Run `f`, turning a C++ exception into the Python error it stands for;
// null with the error set on failure.
template <typename F> inline PyObject *python_result(F &&f) noexcept {
    try {
        return f();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in a native body");
    }
    return nullptr;
}

namespace detail {
inline PyObject *call_impl(void *payload, PyObject *captured, PyObject *const *args, size_t n) {
    return python_result([&] {
        Args a(n);
        for (size_t i = 0; i < n; ++i) a[i] = nb::borrow(args[i]);
        return (*static_cast<Impl *>(payload))(nb::handle(captured), a).release().ptr();
    });
}
inline void free_impl(void *payload) { delete static_cast<Impl *>(payload); }
}  // namespace detail

// A function object with the given names whose calls run `impl` on the
// arguments bound by `sig`, with `captured` (a tuple) as its closure, defined
// in the module namespace `globals` (its __globals__, and where it takes its
// builtins from). It holds the closure as a Python closure holds its cells,
// visible to the garbage collector.
inline nb::object closure(const char *name, nb::handle globals, Signature sig, nb::tuple captured, Impl impl) {
    const GlueApi *table = api();
    if (!table) throw nb::python_error();
    nb::list names;
    for (const std::string &n : sig.names) names.append(nb::str(n.c_str()));
    nb::object defaults;
    if (!sig.defaults.empty()) {
        nb::list d;
        for (const nb::object &v : sig.defaults) d.append(v);
        defaults = nb::tuple(d);
    }
    nb::str qualname(sig.qualname.c_str());
    nb::tuple params(names);
    GlueFunctionSpec spec{name,
                          qualname.ptr(),
                          globals.ptr(),
                          params.ptr(),
                          defaults.is_valid() ? defaults.ptr() : nullptr,
                          sig.makes_generator ? 1 : 0,
                          captured.ptr(),
                          detail::call_impl,
                          new Impl(std::move(impl)),
                          detail::free_impl};
    return check(table->new_function(&spec));
}

// A function object that binds its arguments the Python way and runs `body`
// with its module namespace, which it holds as a Python function holds its
// `__globals__`, so late-bound lookups always see the live namespace.
inline nb::object function(nb::handle globals, const char *name, Signature sig, Body body) {
    return closure(name, globals, std::move(sig), nb::make_tuple(globals),
                   [body](nb::handle captured, Args &a) { return body(PyTuple_GET_ITEM(captured.ptr(), 0), a); });
}

// Define a module-level function `name(params...)` in the module namespace,
// with `doc` as its docstring (what help() and editors show).
inline void def(nb::module_ &m, const char *name, std::vector<std::string> params, Body body,
                std::vector<nb::object> defaults = {}, const char *doc = nullptr) {
    nb::object f = function(m.attr("__dict__"), name, Signature{name, std::move(params), std::move(defaults)}, body);
    if (doc) f.attr("__doc__") = doc;
    m.attr(name) = f;
}

}  // namespace glue
