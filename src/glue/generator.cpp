// The generator type behind every generator the package makes, built into
// `veltrix.converter._glue` and shared by all modules (bridge.h).
//
// It drives a GeneratorBody as CPython drives a generator frame: send()
// (None first), throw() in its one- and three-argument forms, close(),
// StopIteration escaping the body turned into RuntimeError (PEP 479),
// closing by finaliser, "generator already executing", the recursion limit,
// weak references (cleared before the finaliser), gi_code (the code of the
// function that made it), and the gi_running / gi_suspended / gi_frame state
// that inspect.getgeneratorstate reads. Immutable, not instantiable from Python.
#include "bridge.h"
#include "names.h"

#include <structmember.h>

namespace glue::impl {
namespace {

struct GeneratorObject {
    PyObject_HEAD
    glue_resume_fn resume;
    glue_traverse_fn traverse;
    glue_free_fn free_state;
    void *state;  // null once the generator has finished
    bool started, running;
    PyObject *function;  // the function that made it, or null
    PyObject *builtins;
    PyObject *name, *qualname, *weakrefs;
};

GeneratorObject *as_generator(PyObject *self) { return reinterpret_cast<GeneratorObject *>(self); }

void generator_finish(GeneratorObject *g) {
    // Dropping the body releases what it holds (feeds, inner generators)
    // as a finished Python generator drops its frame.
    void *state = g->state;
    g->state = nullptr;
    if (state) g->free_state(state);
}

// A StopIteration escaping the body would end the caller's loop silently;
// Python turns it into a RuntimeError whose cause and context are the
// StopIteration (PEP 479), and so do we. The pending error is left as it is
// when it is not a StopIteration.
void stop_iteration_to_runtime_error() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb && v) PyException_SetTraceback(v, tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    PyObject *text = PyUnicode_FromString("generator raised StopIteration");
    PyObject *exc = text ? PyObject_CallOneArg(PyExc_RuntimeError, text) : nullptr;
    Py_XDECREF(text);
    if (!exc) {
        Py_XDECREF(v);
        return;
    }
    PyException_SetCause(exc, Py_XNewRef(v));
    PyException_SetContext(exc, v);
    PyErr_Restore(Py_NewRef(PyExc_RuntimeError), exc, nullptr);
}

// Run the body once; the new reference yielded, or null with an error set
// (StopIteration when the body ended).
PyObject *generator_run(GeneratorObject *g, PyObject *thrown) {
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (!enter_native()) return nullptr;
    g->started = true;
    g->running = true;
    Py_INCREF(g);
    Frame frame{nullptr, g->builtins, current_frame()};
    current_frame() = &frame;
    PyObject *result = g->resume(g->state, thrown);
    current_frame() = frame.back;
    g->running = false;
    if (!result) {
        generator_finish(g);
        if (PyErr_Occurred())
            stop_iteration_to_runtime_error();
        else
            PyErr_SetNone(PyExc_StopIteration);
    }
    Py_DECREF(g);
    leave_native();
    return result;
}

PyObject *generator_send(PyObject *self, PyObject *value) {
    GeneratorObject *g = as_generator(self);
    if (!g->state) {
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    if (!g->started && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    return generator_run(g, nullptr);
}

PyObject *generator_next(PyObject *self) {
    GeneratorObject *g = as_generator(self);
    if (!g->state) return nullptr;  // exhausted: StopIteration without an object
    PyObject *r = generator_send(self, Py_None);
    if (!r && PyErr_ExceptionMatches(PyExc_StopIteration)) {
        // tp_iternext signals a plain end without an exception set
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        if (v && PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject *>(PyExc_StopIteration)) &&
            reinterpret_cast<PyStopIterationObject *>(v)->value != Py_None) {
            PyErr_Restore(t, v, tb);
            return nullptr;
        }
        Py_XDECREF(t);
        Py_XDECREF(v);
        Py_XDECREF(tb);
    }
    return r;
}

// throw(exc) / throw(type[, value[, traceback]]), with CPython's rules: a
// class is normalised with the value (an instance of it, a tuple of
// arguments, or one argument); an error while instantiating it is what gets
// thrown in instead.
PyObject *generator_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    GeneratorObject *g = as_generator(self);
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
#if PY_VERSION_HEX >= 0x030C0000
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature instead.",
                                  1) < 0)
        return nullptr;
#endif
    PyObject *typ = args[0], *val = nargs > 1 ? args[1] : nullptr, *tb = nargs > 2 ? args[2] : nullptr;
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject *t = Py_NewRef(typ), *v = val ? Py_NewRef(val) : nullptr, *trace = tb ? Py_NewRef(tb) : nullptr;
    if (PyExceptionClass_Check(t)) {
        PyErr_NormalizeException(&t, &v, &trace);
    } else if (PyExceptionInstance_Check(t)) {
        if (v && v != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            Py_DECREF(t);
            Py_XDECREF(v);
            Py_XDECREF(trace);
            return nullptr;
        }
        Py_XDECREF(v);
        v = t;
        t = Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(v)));
        if (!trace) trace = PyException_GetTraceback(v);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(t)->tp_name);
        Py_DECREF(t);
        Py_XDECREF(v);
        Py_XDECREF(trace);
        return nullptr;
    }
    if (trace && PyException_SetTraceback(v, trace) < 0) {
        Py_DECREF(t);
        Py_XDECREF(v);
        Py_XDECREF(trace);
        return nullptr;
    }
    if (!g->state || !g->started) {
        // Finished: the exception is raised here and now. Not started: it is
        // raised at the top of the body, which ends the body (PEP 479 applies).
        const bool ends_body = g->state != nullptr;
        if (ends_body) generator_finish(g);
        PyErr_Restore(t, v, trace);
        if (ends_body) stop_iteration_to_runtime_error();
        return nullptr;
    }
    Py_DECREF(t);
    Py_XDECREF(trace);
    PyObject *r = generator_run(g, v);
    Py_DECREF(v);
    return r;
}

PyObject *generator_close(PyObject *self, PyObject *) {
    GeneratorObject *g = as_generator(self);
    if (!g->state) Py_RETURN_NONE;
    if (!g->started) {
        generator_finish(g);
        Py_RETURN_NONE;
    }
    PyObject *exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exit) return nullptr;
    PyObject *r = generator_run(g, exit);
    Py_DECREF(exit);
    if (r) {
        Py_DECREF(r);
        PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
        return nullptr;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

int generator_traverse(PyObject *self, visitproc visit, void *arg) {
    GeneratorObject *g = as_generator(self);
    Py_VISIT(g->name);
    Py_VISIT(g->qualname);
    Py_VISIT(g->function);
    Py_VISIT(g->builtins);
    Py_VISIT(Py_TYPE(self));
    return g->state && g->traverse ? g->traverse(g->state, visit, arg) : 0;
}

int generator_clear(PyObject *self) {
    GeneratorObject *g = as_generator(self);
    if (g->state && !g->running) generator_finish(g);
    Py_CLEAR(g->function);
    Py_CLEAR(g->builtins);
    return 0;
}

// Dropped while suspended: close it, as Python's generator finaliser does.
void generator_finalize(PyObject *self) {
    GeneratorObject *g = as_generator(self);
    if (!g->state || !g->started || g->running) return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject *r = generator_close(self, nullptr);
    if (!r)
        PyErr_WriteUnraisable(self);
    else
        Py_DECREF(r);
    PyErr_Restore(t, v, tb);
}

void generator_dealloc(PyObject *self) {
    GeneratorObject *g = as_generator(self);
    // Weak references go before the finaliser runs, as CPython's do.
    PyObject_GC_UnTrack(self);
    if (g->weakrefs) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    if (g->state) generator_finish(g);
    Py_CLEAR(g->function);
    Py_CLEAR(g->builtins);
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *generator_repr(PyObject *self) {
    return PyUnicode_FromFormat("<generator object %U at %p>", as_generator(self)->qualname, self);
}


PyObject *gi_running(PyObject *self, void *) { return PyBool_FromLong(as_generator(self)->running); }
PyObject *gi_suspended(PyObject *self, void *) {
    GeneratorObject *g = as_generator(self);
    return PyBool_FromLong(g->state && g->started && !g->running);
}
// No Python frame runs a C++ body; a stand-in tells what inspect asks of a
// frame (f_lasti -1 before the first step), and None once finished.
PyObject *gi_frame(PyObject *self, void *) {
    GeneratorObject *g = as_generator(self);
    if (!g->state) Py_RETURN_NONE;
    PyObject *types = PyImport_ImportModule("types");
    PyObject *ns = types ? PyObject_GetAttrString(types, "SimpleNamespace") : nullptr;
    Py_XDECREF(types);
    if (!ns) return nullptr;
    PyObject *args = PyTuple_New(0);
    PyObject *kw = args ? Py_BuildValue("{s:i,s:N,s:O,s:O}", "f_lasti", g->started ? 0 : -1, "f_locals", PyDict_New(),
                                        "f_back", Py_None, "f_lineno", Py_None)
                        : nullptr;
    PyObject *frame = kw ? PyObject_Call(ns, args, kw) : nullptr;
    Py_XDECREF(kw);
    Py_XDECREF(args);
    Py_DECREF(ns);
    return frame;
}
// The code of the function that made the generator, as for a Python generator.
PyObject *gi_code(PyObject *self, void *) {
    GeneratorObject *g = as_generator(self);
    if (!g->function) Py_RETURN_NONE;
    return function_code(g->function);
}
PyObject *gi_yieldfrom(PyObject *, void *) { Py_RETURN_NONE; }

}  // namespace

PyTypeObject *make_generator_type() {
    static PyMethodDef methods[] = {
        {"send", generator_send, METH_O, nullptr},
        {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generator_throw)), METH_FASTCALL, nullptr},
        {"close", generator_close, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr}};
    static PyMemberDef members[] = {
        {"__weaklistoffset__", T_PYSSIZET, offsetof(GeneratorObject, weakrefs), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    static int qualname_tag;
    static PyGetSetDef getset[] = {{"__name__", get_name<GeneratorObject>, set_name<GeneratorObject>, nullptr, nullptr},
                                   {"__qualname__", get_name<GeneratorObject>, set_name<GeneratorObject>, nullptr, &qualname_tag},
                                   {"gi_running", gi_running, nullptr, nullptr, nullptr},
                                   {"gi_suspended", gi_suspended, nullptr, nullptr, nullptr},
                                   {"gi_frame", gi_frame, nullptr, nullptr, nullptr},
                                   {"gi_yieldfrom", gi_yieldfrom, nullptr, nullptr, nullptr},
                                   {"gi_code", gi_code, nullptr, nullptr, nullptr},
                                   {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void *>(generator_dealloc)},
                                  {Py_tp_repr, reinterpret_cast<void *>(generator_repr)},
                                  {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
                                  {Py_tp_iternext, reinterpret_cast<void *>(generator_next)},
                                  {Py_tp_finalize, reinterpret_cast<void *>(generator_finalize)},
                                  {Py_tp_traverse, reinterpret_cast<void *>(generator_traverse)},
                                  {Py_tp_clear, reinterpret_cast<void *>(generator_clear)},
                                  {Py_tp_methods, methods},
                                  {Py_tp_members, members},
                                  {Py_tp_getset, getset},
                                  {0, nullptr}};
    static PyType_Spec spec = {"veltrix.converter._glue.generator", sizeof(GeneratorObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                                   Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               slots};
    auto *type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&spec));
    if (type) settle_type(type, "generator");
    return type;
}

PyTypeObject *generator_type = nullptr;  // owned by the _glue module for the interpreter's life

PyObject *new_generator(const char *name, const char *qualname, glue_resume_fn resume, glue_traverse_fn traverse,
                        glue_free_fn free_state, void *state) {
    PyObject *n = PyUnicode_FromString(name), *q = n ? PyUnicode_FromString(qualname) : nullptr;
    auto *g = q ? PyObject_GC_New(GeneratorObject, generator_type) : nullptr;
    if (!g) {
        Py_XDECREF(n);
        Py_XDECREF(q);
        free_state(state);
        return nullptr;
    }
    Frame *maker = current_frame();
    g->resume = resume;
    g->traverse = traverse;
    g->free_state = free_state;
    g->state = state;
    g->started = g->running = false;
    g->function = maker ? Py_XNewRef(maker->function) : nullptr;
    g->builtins = Py_NewRef(maker ? maker->builtins : PyEval_GetBuiltins());
    g->name = n;
    g->qualname = q;
    g->weakrefs = nullptr;
    PyObject_GC_Track(g);
    return reinterpret_cast<PyObject *>(g);
}

}  // namespace glue::impl
