// The function type behind every Python-visible callable of the package,
// built into `veltrix.converter._glue` and shared by all modules (bridge.h).
//
// It behaves as a Python function does where callers can tell: CPython's
// argument binding and TypeError texts (naming the live __qualname__), the
// recursion limit and a guard against the end of the C stack, binding to an
// instance through __get__, __name__/__qualname__ that must be text,
// __module__/__doc__/__dict__, __defaults__/__kwdefaults__/__annotations__
// (assignable, and binding uses the live defaults), __globals__, __builtins__
// (taken from the module when the function is made), __closure__, __code__
// (a code object with the function's parameters, so inspect and typing treat
// it as a function), weak references, pickling and copying by qualified
// name, and full visibility to the garbage collector. The type is immutable
// and cannot be instantiated from Python.
#include "bridge.h"
#include "names.h"

#include <pthread.h>
#include <structmember.h>

#include <cstdint>
#include <string>
#include <vector>

namespace glue::impl {

// ------------------------------------------------ frames and the guards

Frame *&current_frame() {
    static thread_local Frame *frame = nullptr;
    return frame;
}

namespace {

// Stack left unused below the lowest level a native call may start at: room
// for what one level runs (interpreter calls, library code) before the next
// check, and for the RecursionError to be raised and handled.
constexpr size_t kStackReserve = 256 * 1024;

uintptr_t stack_floor() {
    static thread_local uintptr_t floor = 0;  // 0: not measured yet on this thread
    if (floor) return floor;
    floor = 1;  // unknown: no floor but the recursion limit
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void *low = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &low, &size) == 0 && low && size) {
            size_t reserve = size / 4 < kStackReserve ? size / 4 : kStackReserve;
            floor = uintptr_t(low) + reserve;
        }
        pthread_attr_destroy(&attr);
    }
    return floor;
}

}  // namespace

bool enter_native() {
    // The frame address, not a local's: a sanitizer may keep locals elsewhere.
    if (uintptr_t(__builtin_frame_address(0)) < stack_floor()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
        return false;
    }
    return Py_EnterRecursiveCall(" while calling a Python object") == 0;
}

void leave_native() { Py_LeaveRecursiveCall(); }

void settle_type(PyTypeObject *type, const char *short_name) {
    type->tp_name = short_name;
    for (const char *member : {"__dictoffset__", "__weaklistoffset__", "__vectorcalloffset__"})
        if (PyDict_DelItemString(type->tp_dict, member) < 0) PyErr_Clear();
    PyType_Modified(type);
}

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    glue_call_fn call;
    void *payload;
    glue_free_fn free_payload;
    int is_generator;
    PyObject *params;  // tuple of interned str, for keyword matching
    PyObject *defaults, *kwdefaults, *annotations, *code;  // null when absent
    PyObject *globals, *builtins, *captured;
    PyObject *name, *qualname, *module, *doc, *dict, *weakrefs;
};

FunctionObject *as_function(PyObject *self) { return reinterpret_cast<FunctionObject *>(self); }

// Owned references to the bound arguments, released whatever happens.
struct Bound {
    std::vector<PyObject *> items;
    explicit Bound(size_t n) : items(n, nullptr) {}
    ~Bound() {
        for (PyObject *o : items) Py_XDECREF(o);
    }
};

std::string quoted_names(const std::vector<PyObject *> &names) {
    std::string s;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) s += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        PyObject *r = PyObject_Repr(names[i]);
        const char *text = r ? PyUnicode_AsUTF8(r) : nullptr;
        s += text ? text : "?";
        Py_XDECREF(r);
        PyErr_Clear();
    }
    return s;
}

// Bind a vectorcall's arguments exactly as CPython binds a plain function,
// with the same TypeError texts in the same order of checks. Keyword names
// are compared as Python strings, so a name with a NUL or a lone surrogate
// is simply not one of ours. False with the error set on failure.
bool bind(FunctionObject *f, PyObject *const *args, size_t given, PyObject *kwnames, Bound &out) {
    const Py_ssize_t n = PyTuple_GET_SIZE(f->params);
    for (Py_ssize_t i = 0; i < Py_ssize_t(given) && i < n; ++i) out.items[size_t(i)] = Py_NewRef(args[i]);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject *k = PyTuple_GET_ITEM(kwnames, j);
        Py_ssize_t i = 0;
        while (i < n && PyTuple_GET_ITEM(f->params, i) != k) ++i;  // interned: identity first, as CPython
        if (i == n) {
            for (i = 0; i < n; ++i) {
                int r = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->params, i), k, Py_EQ);
                if (r < 0) return false;
                if (r) break;
            }
        }
        if (i == n) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, k);
            return false;
        }
        if (out.items[size_t(i)]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, k);
            return false;
        }
        out.items[size_t(i)] = Py_NewRef(args[given + size_t(j)]);
    }
    const Py_ssize_t ndefaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    const Py_ssize_t first_default = n - ndefaults;  // may be negative, as in CPython
    if (Py_ssize_t(given) > n) {
        if (ndefaults)
            PyErr_Format(PyExc_TypeError, "%U() takes from %zd to %zd positional arguments but %zd %s given", f->qualname,
                         first_default, n, Py_ssize_t(given), given == 1 ? "was" : "were");
        else
            PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", f->qualname, n,
                         n == 1 ? "" : "s", Py_ssize_t(given), given == 1 ? "was" : "were");
        return false;
    }
    std::vector<PyObject *> missing;
    for (Py_ssize_t i = 0; i < first_default; ++i)
        if (!out.items[size_t(i)]) missing.push_back(PyTuple_GET_ITEM(f->params, i));
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %s", f->qualname,
                     Py_ssize_t(missing.size()), missing.size() == 1 ? "" : "s", quoted_names(missing).c_str());
        return false;
    }
    for (Py_ssize_t i = first_default < 0 ? 0 : first_default; i < n; ++i)
        if (!out.items[size_t(i)]) out.items[size_t(i)] = Py_NewRef(PyTuple_GET_ITEM(f->defaults, i - first_default));
    return true;
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    FunctionObject *f = as_function(self);
    if (!f->captured || !f->globals) {  // cleared as cyclic garbage, yet reached from a finaliser
        PyErr_SetString(PyExc_ReferenceError, "the function was cleared as part of a reference cycle");
        return nullptr;
    }
    if (!enter_native()) return nullptr;
    PyObject *result = nullptr;
    {
        Bound bound(size_t(PyTuple_GET_SIZE(f->params)));
        if (bind(f, args, size_t(PyVectorcall_NARGS(nargsf)), kwnames, bound)) {
            // The body may drop the last other reference to the function.
            Py_INCREF(self);
            Frame frame{self, f->builtins, current_frame()};
            current_frame() = &frame;
            result = f->call(f->payload, f->captured, bound.items.data(), bound.items.size());
            current_frame() = frame.back;
            Py_DECREF(self);
        }
    }
    leave_native();
    return result;
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *f = as_function(self);
    Py_VISIT(f->captured);
    Py_VISIT(f->params);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int function_clear(PyObject *self) {
    FunctionObject *f = as_function(self);
    Py_CLEAR(f->captured);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->code);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject *self) {
    FunctionObject *f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->params);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    if (f->free_payload) f->free_payload(f->payload);
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

// Pickled and copied by qualified name, as any module-level function.
PyObject *function_reduce(PyObject *self, PyObject *) { return Py_NewRef(as_function(self)->qualname); }

// ------------------------------------------------------ the attributes

// A slot that holds `type` or nothing (None when read), as __defaults__.
template <PyObject *FunctionObject::*Slot>
PyObject *get_optional(PyObject *self, void *) {
    PyObject *v = as_function(self)->*Slot;
    return Py_NewRef(v ? v : Py_None);
}
template <PyObject *FunctionObject::*Slot>
int set_optional(PyObject *self, PyObject *value, void *closure) {
    const char *what = static_cast<const char *>(closure);
    const bool tuple = what[2] == 'd';  // "__defaults__" holds a tuple, the others a dict
    if (value == Py_None) value = nullptr;
    if (value && !(tuple ? PyTuple_Check(value) : PyDict_Check(value))) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", what, tuple ? "tuple" : "dict");
        return -1;
    }
    Py_XSETREF(as_function(self)->*Slot, Py_XNewRef(value));
    return 0;
}

// __annotations__: an empty dict until something is assigned, as for a
// function defined without annotations.
PyObject *get_annotations(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}

PyObject *get_closure(PyObject *, void *) { Py_RETURN_NONE; }

PyObject *get_code(PyObject *self, void *) { return function_code(self); }

int set_code(PyObject *self, PyObject *value, void *) {
    if (!value || !PyCode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__code__ must be set to a code object");
        return -1;
    }
    Py_XSETREF(as_function(self)->code, Py_NewRef(value));
    return 0;
}

// The code object of a Python function with our parameters (a generator
// function's when calling it makes a generator), named as the function and
// placed in the file of its module; made on first use.
PyObject *make_code(FunctionObject *f) {
    std::string source = "def f(";
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(f->params); ++i) {
        const char *name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(f->params, i));
        if (!name) return nullptr;
        source += std::string(i ? ", " : "") + name;
    }
    source += f->is_generator ? "):\n    yield\n" : "):\n    pass\n";
    PyObject *file = f->globals ? PyDict_GetItemString(f->globals, "__file__") : nullptr;
    if (!file || !PyUnicode_Check(file)) file = nullptr;
    PyObject *module_code = Py_CompileString(source.c_str(), "<native>", Py_file_input);
    if (!module_code) return nullptr;
    PyObject *consts = PyObject_GetAttrString(module_code, "co_consts");
    Py_DECREF(module_code);
    if (!consts) return nullptr;
    PyObject *stub = nullptr;
    for (Py_ssize_t i = 0; PyTuple_Check(consts) && i < PyTuple_GET_SIZE(consts) && !stub; ++i)
        if (PyCode_Check(PyTuple_GET_ITEM(consts, i))) stub = PyTuple_GET_ITEM(consts, i);
    PyObject *result = nullptr;
    PyObject *replace = stub ? PyObject_GetAttrString(stub, "replace") : nullptr;
    PyObject *args = replace ? PyTuple_New(0) : nullptr;
    PyObject *kwargs = args ? PyDict_New() : nullptr;
    if (kwargs && PyDict_SetItemString(kwargs, "co_name", f->name) == 0 &&
#if PY_VERSION_HEX >= 0x030B0000
        PyDict_SetItemString(kwargs, "co_qualname", f->qualname) == 0 &&
#endif
        (!file || PyDict_SetItemString(kwargs, "co_filename", file) == 0))
        result = PyObject_Call(replace, args, kwargs);
    if (!stub && !PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "no code object compiled for a native function");
    Py_XDECREF(kwargs);
    Py_XDECREF(args);
    Py_XDECREF(replace);
    Py_DECREF(consts);
    return result;
}

}  // namespace

PyObject *function_code(PyObject *self) {
    FunctionObject *f = as_function(self);
    if (!f->code && !(f->code = make_code(f))) return nullptr;
    return Py_NewRef(f->code);
}

namespace {
char kDefaults[] = "__defaults__", kKwdefaults[] = "__kwdefaults__";
}

PyTypeObject *make_function_type() {
    static PyMemberDef members[] = {
        {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
        {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
        {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
        {"__builtins__", T_OBJECT, offsetof(FunctionObject, builtins), READONLY, nullptr},
        {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
        {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
        {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    static int qualname_tag;
    static PyGetSetDef getset[] = {
        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {"__name__", get_name<FunctionObject>, set_name<FunctionObject>, nullptr, nullptr},
        {"__qualname__", get_name<FunctionObject>, set_name<FunctionObject>, nullptr, &qualname_tag},
        {"__defaults__", get_optional<&FunctionObject::defaults>, set_optional<&FunctionObject::defaults>, nullptr, kDefaults},
        {"__kwdefaults__", get_optional<&FunctionObject::kwdefaults>, set_optional<&FunctionObject::kwdefaults>, nullptr,
         kKwdefaults},
        {"__annotations__", get_annotations, set_optional<&FunctionObject::annotations>, nullptr,
         const_cast<char *>("__annotations__")},
        {"__closure__", get_closure, nullptr, nullptr, nullptr},
        {"__code__", get_code, set_code, nullptr, nullptr},
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
    auto *type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&spec));
    if (type) settle_type(type, "function");
    return type;
}

PyTypeObject *function_type = nullptr;  // owned by the _glue module for the process's life

// The builtins a function defined in `globals` takes, as CPython takes them:
// the namespace's __builtins__ (a module stands for its dict), else those of
// the code running now.
static PyObject *builtins_for(PyObject *globals) {
    PyObject *key = PyUnicode_InternFromString("__builtins__");
    if (!key) return nullptr;
    PyObject *b = PyDict_GetItemWithError(globals, key);
    Py_DECREF(key);
    if (!b && PyErr_Occurred()) return nullptr;
    if (b && PyModule_Check(b)) b = PyModule_GetDict(b);
    if (!b) b = current_frame() ? current_frame()->builtins : PyEval_GetBuiltins();
    return Py_XNewRef(b);
}

PyObject *new_function(const GlueFunctionSpec *spec) {
    PyObject *params = nullptr, *name = nullptr, *builtins = nullptr;
    FunctionObject *f = nullptr;
    if (!PyDict_Check(spec->globals) || !PyTuple_Check(spec->params) || !PyTuple_Check(spec->captured) ||
        !PyUnicode_Check(spec->qualname) || (spec->defaults && !PyTuple_Check(spec->defaults))) {
        PyErr_SetString(PyExc_SystemError, "bad native function definition");
        goto fail;
    }
    params = PyTuple_New(PyTuple_GET_SIZE(spec->params));
    if (!params) goto fail;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(spec->params); ++i) {
        PyObject *key = Py_NewRef(PyTuple_GET_ITEM(spec->params, i));
        if (!PyUnicode_CheckExact(key)) {
            Py_DECREF(key);
            PyErr_SetString(PyExc_SystemError, "native parameter names must be str");
            goto fail;
        }
        PyUnicode_InternInPlace(&key);
        PyTuple_SET_ITEM(params, i, key);
    }
    if (!(name = PyUnicode_FromString(spec->name))) goto fail;
    if (!(builtins = builtins_for(spec->globals))) goto fail;
    if (!(f = PyObject_GC_New(FunctionObject, function_type))) goto fail;
    f->vectorcall = function_vectorcall;
    f->call = spec->call;
    f->payload = spec->payload;
    f->free_payload = spec->free_payload;
    f->is_generator = spec->is_generator;
    f->params = params;
    f->defaults = Py_XNewRef(spec->defaults);
    f->kwdefaults = f->annotations = f->code = nullptr;
    f->globals = Py_NewRef(spec->globals);
    f->builtins = builtins;
    f->captured = Py_NewRef(spec->captured);
    f->name = name;
    f->qualname = Py_NewRef(spec->qualname);
    f->module = PyDict_GetItemString(spec->globals, "__name__");
    f->module = Py_NewRef(f->module ? f->module : Py_None);
    f->doc = Py_NewRef(Py_None);
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject *>(f);
fail:
    Py_XDECREF(params);
    Py_XDECREF(name);
    Py_XDECREF(builtins);
    if (spec->free_payload) spec->free_payload(spec->payload);
    return nullptr;
}

}  // namespace glue::impl
