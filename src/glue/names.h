// What the function type (function.cpp) and the generator type
// (generator.cpp) of `veltrix.converter._glue` share: __name__ and
// __qualname__ that must be text, the frame of the call running now (which
// a generator takes its builtins and gi_code from), and the guard every
// native call level passes (the recursion limit and the thread's C stack).
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

// The function or generator running on this thread (borrowed references,
// held by the caller for the frame's life); a stack through `back`.
struct Frame {
    PyObject *function;  // the function object, or null for a generator's step
    PyObject *builtins;
    Frame *back;
};
Frame *&current_frame();

// Enter one native call level: false with RecursionError set when the
// recursion limit is reached or the thread's C stack is nearly used up.
// A true return is paired with leave_native().
bool enter_native();
void leave_native();

// The __code__ of one of our function objects (new reference).
PyObject *function_code(PyObject *function);

// An extension type's instances are never spelled with the module of the
// type in the interpreter's texts ("'function' and 'int'"): give the type
// its short name and hide the layout members PyType_FromSpec needed.
void settle_type(PyTypeObject *type, const char *short_name);

}  // namespace glue::impl
