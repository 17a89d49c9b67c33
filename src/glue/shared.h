// The two object types the package's native functions and generators are
// made of exist once per interpreter, as Python's own do: the internal
// extension `veltrix.converter._glue` creates them and hands every other
// module this table of constructors through a capsule.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <string>
#include <vector>

namespace nb = nanobind;

namespace glue {

// A Python signature: positional-or-keyword parameters, the last
// `defaults.size()` of which have defaults (evaluated once, at definition).
struct Signature {
    std::string qualname;
    std::vector<std::string> names;
    std::vector<nb::object> defaults;
};

// Bound arguments, in signature order.
using Args = std::vector<nb::object>;

// What a function object runs: its closure tuple and the bound arguments.
using Impl = std::function<nb::object(nb::handle captured, Args &)>;

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

constexpr unsigned kSharedTypesVersion = 1;

struct SharedTypes {
    unsigned version;
    // A new function object; takes ownership of `sig` and `impl` in every
    // case. Null with an error set on failure.
    PyObject *(*new_function)(const char *name, PyObject *module, Signature *sig, PyObject *captured, Impl *impl);
    // A new, not yet started generator; takes ownership of `body`.
    PyObject *(*new_generator)(GeneratorBody *body, const char *name, const char *qualname);
};

// The table of the running interpreter, imported on first use.
inline const SharedTypes &shared() {
    static const SharedTypes *table = nullptr;  // lives in _glue's image: no destructor to run at exit
    if (!table) {
        nb::object module = nb::module_::import_("veltrix.converter._glue");
        void *p = PyCapsule_Import("veltrix.converter._glue._TYPES", 0);
        if (!p) throw nb::python_error();
        auto *t = static_cast<const SharedTypes *>(p);
        if (t->version != kSharedTypesVersion) {
            PyErr_SetString(PyExc_ImportError, "veltrix.converter._glue does not match this module: reinstall the package");
            throw nb::python_error();
        }
        table = t;
    }
    return *table;
}

}  // namespace glue
