// The bridge between the package's extension modules and the internal module
// `veltrix.converter._glue`, which owns the function and generator types (one
// of each per process). Only C crosses it: PyObject pointers and C function
// pointers, in a table checked by its size and version, so two builds of the
// package can never exchange C++ objects whose layout they disagree on.
#pragma once

#include <Python.h>

#include <cstddef>

extern "C" {

// Runs a function's body: `payload` is what the defining module gave,
// `captured` its closure tuple, `args` the `n` bound arguments (borrowed).
// A new reference, or null with an error set.
typedef PyObject *(*glue_call_fn)(void *payload, PyObject *captured, PyObject *const *args, size_t n);
// Runs a generator's body from its last yield to the next: the yielded value
// (a new reference); null with an error set; null without an error when the
// body ends. `thrown` is null, or the exception raised at the yield.
typedef PyObject *(*glue_resume_fn)(void *state, PyObject *thrown);
typedef int (*glue_traverse_fn)(void *state, visitproc visit, void *arg);
typedef void (*glue_free_fn)(void *state);

struct GlueFunctionSpec {
    const char *name;
    PyObject *qualname;    // str
    PyObject *globals;     // dict: the namespace of the defining module
    PyObject *params;      // tuple of str: the positional-or-keyword parameters
    PyObject *defaults;    // tuple, or null for none
    int is_generator;      // calling it makes a generator
    PyObject *captured;    // tuple: the closure
    glue_call_fn call;
    void *payload;         // freed by free_payload when the function goes, or at once on failure
    glue_free_fn free_payload;
};

struct GlueApi {
    size_t size;  // sizeof(GlueApi) of the build that made the table
    unsigned version;
    // A new function object; null with an error set on failure.
    PyObject *(*new_function)(const GlueFunctionSpec *spec);
    // A new, not yet started generator made by the function running now;
    // `state` is freed by `free_state` when the body is done with, or at once on failure.
    PyObject *(*new_generator)(const char *name, const char *qualname, glue_resume_fn resume, glue_traverse_fn traverse,
                               glue_free_fn free_state, void *state);
    // The builtins of the function or generator running now (borrowed), or
    // null outside any.
    PyObject *(*current_builtins)(void);
};

}  // extern "C"

#define GLUE_API_VERSION 3u
#define GLUE_API_CAPSULE "veltrix.converter._glue._TYPES"

namespace glue {

// The table of the running process, imported on first use. A missing,
// foreign or mismatched table is the ImportError that asks for a reinstall.
inline const GlueApi *api() {
    static const GlueApi *table = nullptr;  // lives in _glue's image, which stays loaded
    if (table) return table;
    PyObject *module = PyImport_ImportModule("veltrix.converter._glue");
    if (!module) return nullptr;
    PyObject *capsule = PyObject_GetAttrString(module, "_TYPES");
    Py_DECREF(module);
    if (!capsule) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
    }
    const GlueApi *t = nullptr;
    if (capsule && PyCapsule_IsValid(capsule, GLUE_API_CAPSULE))
        t = static_cast<const GlueApi *>(PyCapsule_GetPointer(capsule, GLUE_API_CAPSULE));
    Py_XDECREF(capsule);
    if (!t || t->size != sizeof(GlueApi) || t->version != GLUE_API_VERSION) {
        PyErr_SetString(PyExc_ImportError, "veltrix.converter._glue does not match this module: reinstall the package");
        return nullptr;
    }
    table = t;
    return table;
}

}  // namespace glue
