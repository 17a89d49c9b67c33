// GLUE_MODULE(name, m) { ... }: NB_MODULE with the import errors of a Python
// module. nanobind reports any error raised while a module initialises as
// "ImportError: Encountered an error while initializing the extension", the
// real error only as its cause; `import numpy` failing in a Python module
// raises the ModuleNotFoundError itself, and callers catch that type. So the
// module's exec step is wrapped: the cause is raised again as it is (its own
// traceback and context kept), with a note naming the package extra that
// provides a missing sample dependency.
#pragma once

#include "errors.h"

#include <cstring>
#include <string>

namespace glue {

// What a user installs for an optional third-party package the sample
// modules import, as a note for `module`'s import error; null for others.
inline nb::object install_note(nb::handle missing, const char *module) {
    if (!PyUnicode_Check(missing.ptr())) return nb::object();
    nb::object head = nb::borrow(missing).attr("partition")(".")[0];
    std::string where = std::string("veltrix.converter.plugin_api.") + module;
    if (PyUnicode_CompareWithASCIIString(head.ptr(), "tensorflow") == 0)
        return nb::str((where + " needs TensorFlow: any TensorFlow build, or the 'tf-cpu' extra: "
                                "pip install 'veltrix-converter[samples,tf-cpu]'").c_str());
    for (const char *top : {"numpy", "PIL"})
        if (PyUnicode_CompareWithASCIIString(head.ptr(), top) == 0)
            return nb::str((where + " needs the 'samples' extra: pip install 'veltrix-converter[samples]'").c_str());
    return nb::object();
}

// The error a failed exec step leaves, made honest (see above).
inline void unwrap_init_error(const char *module) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    nb::object type = nb::steal(t), value = nb::steal(v), trace = nb::steal(tb);
    PyObject *cause = value.is_valid() ? PyException_GetCause(value.ptr()) : nullptr;
    nb::object original = nb::steal(cause);
    const bool wrapped = type.ptr() == PyExc_ImportError && original.is_valid() && [&] {
        nb::object args = nb::getattr(value, "args", nb::none());
        return PyTuple_Check(args.ptr()) && PyTuple_GET_SIZE(args.ptr()) == 1 &&
               PyUnicode_Check(PyTuple_GET_ITEM(args.ptr(), 0)) &&
               std::strncmp(PyUnicode_AsUTF8(PyTuple_GET_ITEM(args.ptr(), 0)), "Encountered an error while initializing", 39) == 0;
    }();
    if (!wrapped) {
        PyErr_Restore(type.release().ptr(), value.release().ptr(), trace.release().ptr());
        return;
    }
    if (PyErr_GivenExceptionMatches(original.ptr(), PyExc_ModuleNotFoundError)) {
        nb::object note = install_note(nb::getattr(original, "name", nb::none()), module);
        if (note.is_valid() && nb::hasattr(original, "add_note")) {
            PyObject *r = PyObject_CallMethod(original.ptr(), "add_note", "O", note.ptr());
            if (r) Py_DECREF(r); else PyErr_Clear();
        }
    }
    PyObject *otb = PyException_GetTraceback(original.ptr());
    PyObject *otype = Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(original.ptr())));
    PyErr_Restore(otype, original.release().ptr(), otb);
}

}  // namespace glue

#define GLUE_MODULE(name, variable)                                                                \
    extern "C" NB_EXPORT PyObject *PyInit_##name##_nanobind_(void);                                \
    static int (*glue_inner_exec_)(PyObject *) = nullptr;                                          \
    static int glue_exec_(PyObject *m) {                                                           \
        /* a module's functions take their builtins from its namespace */                          \
        if (PyDict_SetItemString(PyModule_GetDict(m), "__builtins__", PyEval_GetBuiltins()) < 0)   \
            return -1;                                                                             \
        int r = glue_inner_exec_(m);                                                               \
        if (r < 0) glue::unwrap_init_error(#name);                                                 \
        return r;                                                                                  \
    }                                                                                              \
    extern "C" NB_EXPORT PyObject *PyInit_##name(void) {                                           \
        PyObject *def = PyInit_##name##_nanobind_();                                               \
        /* multi-phase initialisation returns the definition; anything else is left alone */   \
        if (!def || !PyObject_TypeCheck(def, &PyModuleDef_Type)) return def;                      \
        auto *d = reinterpret_cast<PyModuleDef *>(def);                                            \
        d->m_name = #name;                                                                         \
        for (PyModuleDef_Slot *s = d->m_slots; s && s->slot; ++s)                                  \
            if (s->slot == Py_mod_exec && s->value != reinterpret_cast<void *>(glue_exec_)) {      \
                glue_inner_exec_ = reinterpret_cast<int (*)(PyObject *)>(s->value);                \
                s->value = reinterpret_cast<void *>(glue_exec_);                                   \
            }                                                                                      \
        return def;                                                                                \
    }                                                                                              \
    NB_MODULE(name##_nanobind_, variable)
