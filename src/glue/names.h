// __name__ and __qualname__ of the package's function and generator objects:
// text only and never deleted, as for Python's own (shared by function.cpp
// and generator.cpp, for any object struct with `name` and `qualname`).
#pragma once

#include <Python.h>

namespace glue::impl {

// The getset closure tells the two apart: null for __name__, non-null for __qualname__.
template <typename T> PyObject **name_slot(PyObject *self, void *which) {
    T *o = reinterpret_cast<T *>(self);
    return which ? &o->qualname : &o->name;
}

template <typename T> PyObject *get_name(PyObject *self, void *which) { return Py_NewRef(*name_slot<T>(self, which)); }

template <typename T> int set_name(PyObject *self, PyObject *value, void *which) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", which ? "__qualname__" : "__name__");
        return -1;
    }
    Py_SETREF(*name_slot<T>(self, which), Py_NewRef(value));
    return 0;
}

}  // namespace glue::impl
