// Generators whose steps are C++: a GeneratorBody driven by the generator
// type of generator.cpp (send, throw, close, PEP 479, closing by finaliser,
// gi_* state), built into `veltrix.converter._glue` and reached through the
// C bridge (bridge.h).
#pragma once

#include "bridge.h"
#include "function.h"

#include <memory>

namespace glue {

// The body of a generator: what runs between two yields. `resume` runs from
// the last yield to the next one and returns the yielded value, or an
// invalid object when the body ends. `thrown` is invalid for next()/send(),
// or the exception that throw()/close() raises at the yield: a body that does
// not handle it raises it (reraise). The body's Python references are visited
// for the garbage collector, since a generator can take part in a cycle.
class GeneratorBody {
  public:
    virtual ~GeneratorBody() = default;
    virtual nb::object resume(nb::handle thrown) = 0;
    virtual int traverse(visitproc, void *) { return 0; }
};

namespace detail {
inline PyObject *resume_body(void *state, PyObject *thrown) {
    return python_result([&] { return static_cast<GeneratorBody *>(state)->resume(nb::handle(thrown)).release().ptr(); });
}
inline int traverse_body(void *state, visitproc visit, void *arg) {
    return static_cast<GeneratorBody *>(state)->traverse(visit, arg);
}
inline void free_body(void *state) { delete static_cast<GeneratorBody *>(state); }
}  // namespace detail

// A new, not yet started generator running `body` (owned from here on),
// with the given names; made by the function running now.
inline nb::object generator(GeneratorBody *body, const char *name, const char *qualname) {
    std::unique_ptr<GeneratorBody> owned(body);
    const GlueApi *table = api();
    if (!table) throw nb::python_error();
    return check(table->new_generator(name, qualname, detail::resume_body, detail::traverse_body, detail::free_body,
                                      owned.release()));
}

// Visit an object held by a generator body (for traverse()).
#define GLUE_VISIT(obj)                              \
    do {                                             \
        if ((obj).is_valid()) Py_VISIT((obj).ptr()); \
    } while (0)

}  // namespace glue
