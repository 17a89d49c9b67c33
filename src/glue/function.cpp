// The function type behind every Python-visible callable of the package,
// built into `veltrix.converter._glue` and shared by all modules (shared.h).
//
// It behaves as a Python function does where callers can tell: CPython's
// argument binding and TypeError texts, the recursion limit, binding to an
// instance through __get__, __name__/__qualname__ that must be text,
// __module__/__doc__/__dict__, weak references, inspect.signature, pickling
// and copying by qualified name, and full visibility to the garbage
// collector. The type is immutable and cannot be instantiated from Python.
#include "errors.h"
#include "names.h"
#include "shared.h"

#include <structmember.h>

#include <memory>
#include <string>

namespace glue::impl {
namespace {

struct FunctionObject {
    PyObject_HEAD
    Impl *impl;
    Signature *sig;
    PyObject *keys;  // the parameter names as a tuple of str, for keyword matching
    PyObject *captured;
    PyObject *name, *qualname, *module, *doc, *dict, *weakrefs;
    vectorcallfunc vectorcall;
};

FunctionObject *as_function(PyObject *self) { return reinterpret_cast<FunctionObject *>(self); }

std::string join_names(const std::vector<std::string> &m) {
    std::string s;
    for (size_t i = 0; i < m.size(); ++i) {
        if (i) s += m.size() == 2 ? " and " : (i + 1 == m.size() ? ", and " : ", ");
        s += "'" + m[i] + "'";
    }
    return s;
}

// Bind a vectorcall's arguments exactly as CPython binds a plain function,
// with the same TypeError texts in the same order of checks. Keyword names
// are compared as Python strings, so a name with a NUL or a lone surrogate
// is simply not one of ours.
Args bind(FunctionObject *f, PyObject *const *args, size_t given, PyObject *kwnames) {
    const Signature &sig = *f->sig;
    const size_t n = sig.names.size();
    Args out(n);
    for (size_t i = 0; i < given && i < n; ++i) out[i] = nb::borrow(args[i]);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject *k = PyTuple_GET_ITEM(kwnames, j);
        size_t i = 0;
        while (i < n && PyTuple_GET_ITEM(f->keys, Py_ssize_t(i)) != k) ++i;  // interned: identity first, as CPython
        if (i == n) {
            i = 0;
            while (i < n) {
                int r = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->keys, Py_ssize_t(i)), k, Py_EQ);
                if (r < 0) throw nb::python_error();
                if (r) break;
                ++i;
            }
        }
        if (i == n) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.qualname.c_str(), k);
            throw nb::python_error();
        }
        if (out[i].is_valid()) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", sig.qualname.c_str(), k);
            throw nb::python_error();
        }
        out[i] = nb::borrow(args[given + size_t(j)]);
    }
    const size_t nreq = n - sig.defaults.size();
    if (given > n) {
        std::string takes = nreq == n ? std::to_string(n) : "from " + std::to_string(nreq) + " to " + std::to_string(n);
        raise(PyExc_TypeError, sig.qualname + "() takes " + takes + " positional argument" + (n == 1 && nreq == n ? "" : "s") +
                                   " but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given");
    }
    std::vector<std::string> missing;
    for (size_t i = 0; i < nreq; ++i)
        if (!out[i].is_valid()) missing.push_back(sig.names[i]);
    if (!missing.empty())
        raise(PyExc_TypeError, sig.qualname + "() missing " + std::to_string(missing.size()) + " required positional argument" +
                                   (missing.size() == 1 ? "" : "s") + ": " + join_names(missing));
    for (size_t i = nreq; i < n; ++i)
        if (!out[i].is_valid()) out[i] = sig.defaults[i - nreq];
    return out;
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    FunctionObject *f = as_function(self);
    // Recursion that runs only through our functions must meet the
    // interpreter's limit (RecursionError), not the end of the C stack.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject *result = nullptr;
    try {
        Args a = bind(f, args, size_t(PyVectorcall_NARGS(nargsf)), kwnames);
        result = (*f->impl)(nb::handle(f->captured), a).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    Py_LeaveRecursiveCall();
    return result;
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *f = as_function(self);
    Py_VISIT(f->captured);
    Py_VISIT(f->keys);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    if (f->sig)
        for (const nb::object &d : f->sig->defaults) Py_VISIT(d.ptr());
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int function_clear(PyObject *self) {
    FunctionObject *f = as_function(self);
    Py_CLEAR(f->captured);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    if (f->sig) {
        // Defaults can close a cycle too; dropping them ends the function's use.
        std::vector<nb::object> defaults;
        defaults.swap(f->sig->defaults);
    }
    return 0;
}

void function_dealloc(PyObject *self) {
    FunctionObject *f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->keys);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    delete f->impl;
    delete f->sig;
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *function_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}


// __signature__: what inspect.signature and pydoc show.
PyObject *get_signature(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    try {
        nb::object inspect = nb::module_::import_("inspect");
        nb::object parameter = inspect.attr("Parameter"), kind = parameter.attr("POSITIONAL_OR_KEYWORD");
        const Signature &sig = *f->sig;
        const size_t n = sig.names.size(), nreq = n - sig.defaults.size();
        nb::list params;
        for (size_t i = 0; i < n; ++i) {
            nb::str name(sig.names[i].c_str());
            if (i < nreq)
                params.append(parameter(name, kind));
            else
                params.append(parameter(name, kind, nb::arg("default") = sig.defaults[i - nreq]));
        }
        return inspect.attr("Signature")(params).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}

// Pickled and copied by qualified name, as any module-level function.
PyObject *function_reduce(PyObject *self, PyObject *) { return Py_NewRef(as_function(self)->qualname); }

}  // namespace

PyTypeObject *make_function_type() {
    static PyMemberDef members[] = {
        {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
        {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
        {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
        {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
        {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    static int qualname_tag;
    static PyGetSetDef getset[] = {
        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {"__name__", get_name<FunctionObject>, set_name<FunctionObject>, nullptr, nullptr},
        {"__qualname__", get_name<FunctionObject>, set_name<FunctionObject>, nullptr, &qualname_tag},
        {"__signature__", get_signature, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyMethodDef methods[] = {{"__reduce__", function_reduce, METH_NOARGS, nullptr},
                                    {nullptr, nullptr, 0, nullptr}};
    static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
                                  {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
                                  {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
                                  {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
                                  {Py_tp_descr_get, reinterpret_cast<void *>(function_get)},
                                  {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
                                  {Py_tp_members, members},
                                  {Py_tp_getset, getset},
                                  {Py_tp_methods, methods},
                                  {0, nullptr}};
    static PyType_Spec spec = {"veltrix.converter._glue.function", sizeof(FunctionObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                   Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                                   Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               slots};
    return reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&spec));
}

PyTypeObject *function_type = nullptr;  // owned by the _glue module for the interpreter's life

PyObject *new_function(const char *name, PyObject *module, Signature *sig, PyObject *captured, Impl *impl) {
    std::unique_ptr<Signature> owned_sig(sig);
    std::unique_ptr<Impl> owned_impl(impl);
    nb::object closure = nb::steal(captured);
    try {
        nb::tuple keys = nb::steal<nb::tuple>(PyTuple_New(Py_ssize_t(sig->names.size())));
        for (size_t i = 0; i < sig->names.size(); ++i) {
            PyObject *key = PyUnicode_InternFromString(sig->names[i].c_str());
            if (!key) throw nb::python_error();
            PyTuple_SET_ITEM(keys.ptr(), Py_ssize_t(i), key);
        }
        nb::str fname(name), qualname(sig->qualname.c_str());
        auto *f = PyObject_GC_New(FunctionObject, function_type);
        if (!f) throw nb::python_error();
        f->impl = owned_impl.release();
        f->sig = owned_sig.release();
        f->keys = keys.release().ptr();
        f->captured = closure.release().ptr();
        f->name = fname.release().ptr();
        f->qualname = qualname.release().ptr();
        f->module = Py_NewRef(module);
        f->doc = Py_NewRef(Py_None);
        f->dict = nullptr;
        f->weakrefs = nullptr;
        f->vectorcall = function_vectorcall;
        PyObject_GC_Track(f);
        return reinterpret_cast<PyObject *>(f);
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}

}  // namespace glue::impl
