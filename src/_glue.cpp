// veltrix.converter._glue: the internal module that owns the function and
// generator types of the package (src/glue/function.cpp, generator.cpp), one
// of each per process (the package refuses subinterpreters). The other
// modules reach them through the C table `_TYPES` (src/glue/bridge.h).
#include "glue/module.h"
#include "glue/bridge.h"
#include "glue/names.h"

namespace glue::impl {
PyTypeObject *make_function_type();
PyTypeObject *make_generator_type();
extern PyTypeObject *function_type;
extern PyTypeObject *generator_type;
PyObject *new_function(const GlueFunctionSpec *);
PyObject *new_generator(const char *, const char *, glue_resume_fn, glue_traverse_fn, glue_free_fn, void *);
}  // namespace glue::impl

namespace {
PyObject *current_builtins() {
    glue::impl::Frame *frame = glue::impl::current_frame();
    return frame ? frame->builtins : nullptr;
}

// Lives in this module's image, which stays loaded for the process's life.
const GlueApi kApi = {sizeof(GlueApi), GLUE_API_VERSION, glue::impl::new_function, glue::impl::new_generator,
                      current_builtins};
}  // namespace

GLUE_MODULE(_glue, m) {
    using namespace glue::impl;
    if (!function_type) function_type = make_function_type();
    if (!function_type) throw nb::python_error();
    if (!generator_type) generator_type = make_generator_type();
    if (!generator_type) throw nb::python_error();
    m.attr("function") = nb::borrow(reinterpret_cast<PyObject *>(function_type));
    m.attr("generator") = nb::borrow(reinterpret_cast<PyObject *>(generator_type));
    m.attr("_TYPES") = glue::check(PyCapsule_New(const_cast<GlueApi *>(&kApi), GLUE_API_CAPSULE, nullptr));
}
