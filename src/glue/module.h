// GLUE_MODULE(name, m) { ... }: an extension module whose import behaves as
// a Python module's. It has its own module definition (multi-phase
// initialisation) whose exec step registers the module with nanobind and runs
// the body; an error the body raises is the import's error as it is (its
// own type, traceback and context: `import numpy` failing raises the
// ModuleNotFoundError itself, which callers catch), with a note naming the
// package extra that provides a missing sample dependency. The module
// refuses subinterpreters with an ImportError: the package's function and
// generator types exist once per process.
#pragma once

#include "errors.h"

#include <string>

namespace glue {

// The head of a dotted name ("PIL" of "PIL.Image") is one of `tops`; read
// with the C API only, so no method of a str subclass runs. Never raises.
inline bool names_top_module(PyObject *missing, const char *top) noexcept {
    if (!missing || !PyUnicode_Check(missing)) return false;
    Py_ssize_t size = PyUnicode_GetLength(missing);
    if (size < 0) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t dot = PyUnicode_FindChar(missing, '.', 0, size, 1);
    if (dot == -2) {
        PyErr_Clear();
        return false;
    }
    PyObject *head = PyUnicode_Substring(missing, 0, dot < 0 ? size : dot);
    if (!head) {
        PyErr_Clear();
        return false;
    }
    const bool same = PyUnicode_CompareWithASCIIString(head, top) == 0;
    Py_DECREF(head);
    return same;
}

// What a user installs for an optional third-party package the sample
// modules import, as a note for `module`'s import error; empty for others.
inline std::string install_note(PyObject *missing, const char *module) noexcept {
    std::string where = std::string("veltrix.converter.plugin_api.") + module;
    if (names_top_module(missing, "tensorflow"))
        return where + " needs TensorFlow: any TensorFlow build, or the 'tf-cpu' extra: "
                       "pip install 'veltrix-converter[samples,tf-cpu]'";
    if (names_top_module(missing, "numpy") || names_top_module(missing, "PIL"))
        return where + " needs the 'samples' extra: pip install 'veltrix-converter[samples]'";
    return {};
}

// Add the install note to the pending ModuleNotFoundError, if it names a
// sample dependency. Never raises: the pending error stays what it was.
inline void note_missing_dependency(const char *module) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (v && PyErr_GivenExceptionMatches(v, PyExc_ModuleNotFoundError)) {
        PyObject *missing = PyObject_GetAttrString(v, "name");
        if (!missing) PyErr_Clear();
        std::string note;
        try {
            note = install_note(missing, module);
        } catch (...) {  // no memory for the text: no note
        }
        Py_XDECREF(missing);
        if (!note.empty()) {
            PyObject *r = PyObject_CallMethod(v, "add_note", "s", note.c_str());
            if (r)
                Py_DECREF(r);
            else
                PyErr_Clear();  // before 3.11 there is no add_note
        }
    }
    PyErr_Restore(t, v, tb);
}

// Register the module with nanobind. nanobind anchors its share of the
// internals in a capsule in the module's namespace; it is kept in the module
// state instead, so the namespace holds only the module's own names.
inline bool register_with_nanobind(PyObject *m) noexcept {
    if (!nb::register_module(m)) return false;
    PyObject **anchor = static_cast<PyObject **>(PyModule_GetState(m));
    if (!anchor) return false;
    PyObject *dict = PyModule_GetDict(m);
    PyObject *capsule = PyDict_GetItemString(dict, "__nanobind_internals__");
    if (capsule) {
        Py_XSETREF(*anchor, Py_NewRef(capsule));
        if (PyDict_DelItemString(dict, "__nanobind_internals__") < 0) return false;
    }
    return true;
}

inline void free_module_state(void *m) {
    PyObject **anchor = static_cast<PyObject **>(PyModule_GetState(static_cast<PyObject *>(m)));
    if (anchor) Py_CLEAR(*anchor);
}

// The exec step of every module of the package: null-free C, whatever the
// body raises.
inline int exec_module(PyObject *m, const char *short_name, void (*body)(nb::module_ &)) noexcept {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_Format(PyExc_ImportError,
                     "veltrix.converter cannot be imported in a subinterpreter: %s and the package's other native "
                     "modules exist once per process",
                     short_name);
        return -1;
    }
    // A module's functions take their builtins from its namespace.
    if (PyDict_SetItemString(PyModule_GetDict(m), "__builtins__", PyEval_GetBuiltins()) < 0) return -1;
    if (!register_with_nanobind(m)) return -1;
    try {
        nb::module_ module = nb::borrow<nb::module_>(m);
        body(module);
        return 0;
    } catch (nb::python_error &e) {
        e.restore();
        note_missing_dependency(short_name);
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_ImportError, "unknown C++ exception while initialising the module");
    }
    return -1;
}

}  // namespace glue

#if PY_VERSION_HEX >= 0x030C0000
#define GLUE_INTERPRETER_SLOT {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define GLUE_INTERPRETER_SLOT
#endif

#define GLUE_MODULE(name, variable)                                                                      \
    static void glue_body_(nb::module_ &);                                                               \
    static int glue_exec_(PyObject *m) { return glue::exec_module(m, #name, glue_body_); }               \
    static PyModuleDef_Slot glue_slots_[] = {                                                            \
        {Py_mod_exec, reinterpret_cast<void *>(glue_exec_)}, GLUE_INTERPRETER_SLOT{0, nullptr}};         \
    static PyModuleDef glue_definition_ = {PyModuleDef_HEAD_INIT, #name, nullptr, sizeof(PyObject *),     \
                                           nullptr, glue_slots_, nullptr, nullptr, glue::free_module_state}; \
    extern "C" NB_EXPORT PyObject *PyInit_##name(void) { return PyModuleDef_Init(&glue_definition_); }   \
    static void glue_body_(nb::module_ &variable)
