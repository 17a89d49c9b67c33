// Imports with the interpreter's own errors: `import name` and
// `from module import name`.
#pragma once

#include "errors.h"

#include <string>

namespace glue {

// `import name`
inline nb::object import(const char *name) { return nb::module_::import_(name); }

// `from module import name`: a missing name raises the interpreter's
// "cannot import name" ImportError; an error raised while importing a
// submodule of that name (a dependency it lacks, say) propagates as it is.
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
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
    } else {
        if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) throw nb::python_error();
        // Only "no module named <module>.<name>" means there is no such name.
        nb::python_error missing;
        nb::object missing_name = attr_or(missing.value(), "name", nb::none());
        if (!PyUnicode_Check(missing_name.ptr()) || PyUnicode_CompareWithASCIIString(missing_name.ptr(), sub.c_str()) != 0) {
            missing.restore();
            throw nb::python_error();
        }
    }
    PyObject *file = PyModule_GetFilenameObject(mod.ptr());
    if (!file) PyErr_Clear();
    nb::object where = file ? nb::steal(file) : nb::object(nb::str("unknown location"));
    nb::str msg = nb::str("cannot import name '{}' from '{}' ({})").format(name, module, where);
    PyErr_SetImportError(msg.ptr(), nb::str(module).ptr(), file ? where.ptr() : nullptr);
    throw nb::python_error();
}

}  // namespace glue
