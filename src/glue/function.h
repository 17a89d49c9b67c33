// Python-visible functions made of C++ bodies: module-level functions,
// methods (through ClassBuilder in classes.h) and closures. The function
// type itself (argument binding with CPython's texts, the recursion guard,
// descriptors, pickling by name, signature) lives in function.cpp, built
// into `veltrix.converter._glue`.
#pragma once

#include "ops.h"
#include "shared.h"

#include <memory>
#include <utility>

namespace glue {

// The body of a module-level function or method: the module namespace it
// was defined in and the bound arguments.
using Body = nb::object (*)(nb::handle globals, Args &a);

// A function object with the given names whose calls run `impl` on the
// arguments bound by `sig`, with `captured` (a tuple) as its closure. It
// holds the closure as a Python closure holds its cells, visible to the
// garbage collector.
inline nb::object closure(const char *name, nb::handle module_name, Signature sig, nb::tuple captured, Impl impl) {
    const SharedTypes &types = shared();
    auto *owned_sig = new Signature(std::move(sig));
    auto *owned_impl = new Impl(std::move(impl));
    return check(types.new_function(name, module_name.is_valid() ? module_name.ptr() : Py_None, owned_sig,
                                    captured.release().ptr(), owned_impl));
}

// A function object that binds its arguments the Python way and runs `body`
// with its module namespace, which it holds as a Python function holds its
// `__globals__`, so late-bound lookups always see the live namespace.
inline nb::object function(nb::handle globals, const char *name, Signature sig, Body body) {
    PyObject *module = PyDict_GetItemString(globals.ptr(), "__name__");
    return closure(name, module, std::move(sig), nb::make_tuple(globals),
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
