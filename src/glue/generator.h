// Generators whose steps are C++: a GeneratorBody (shared.h) driven by the
// generator type of generator.cpp (send, throw, close, PEP 479, closing by
// finaliser, gi_* state), built into `veltrix.converter._glue`.
#pragma once

#include "errors.h"
#include "shared.h"

#include <memory>

namespace glue {

// A new, not yet started generator running `body`, with the given names.
inline nb::object generator(GeneratorBody *body, const char *name, const char *qualname) {
    std::unique_ptr<GeneratorBody> owned(body);
    const SharedTypes &types = shared();
    return check(types.new_generator(owned.release(), name, qualname));
}

// Raise the exception that was thrown in at the yield, as it is.
[[noreturn]] inline void rethrow(nb::handle thrown) { raise_unchained(thrown); }

// Visit an object held by a generator body (for traverse()).
#define GLUE_VISIT(obj)                              \
    do {                                             \
        if ((obj).is_valid()) Py_VISIT((obj).ptr()); \
    } while (0)

}  // namespace glue
