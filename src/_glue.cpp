// veltrix.converter._glue: the internal module that owns the function and
// generator types of the package (src/glue/function.cpp, generator.cpp), so
// that each exists once per interpreter, as Python's own do. The other
// modules reach them through the capsule `_TYPES` (src/glue/shared.h).
#include "glue/module.h"
#include "glue/shared.h"

namespace glue::impl {
PyTypeObject *make_function_type();
PyTypeObject *make_generator_type();
extern PyTypeObject *function_type;
extern PyTypeObject *generator_type;
PyObject *new_function(const char *, PyObject *, Signature *, PyObject *, Impl *);
PyObject *new_generator(GeneratorBody *, const char *, const char *);
}  // namespace glue::impl

namespace {
// Lives in this module's image, which stays loaded for the interpreter's life.
const glue::SharedTypes kTypes = {glue::kSharedTypesVersion, glue::impl::new_function, glue::impl::new_generator};
}  // namespace

GLUE_MODULE(_glue, m) {
    using namespace glue::impl;
    if (!function_type) function_type = glue::impl::make_function_type();
    if (!function_type) throw nb::python_error();
    if (!generator_type) generator_type = glue::impl::make_generator_type();
    if (!generator_type) throw nb::python_error();
    m.attr("function") = nb::borrow(reinterpret_cast<PyObject *>(function_type));
    m.attr("generator") = nb::borrow(reinterpret_cast<PyObject *>(generator_type));
    m.attr("_TYPES") = nb::steal(PyCapsule_New(const_cast<glue::SharedTypes *>(&kTypes), "veltrix.converter._glue._TYPES", nullptr));
}
