// Classes and imports, made the way the `class` and `import` statements make
// them: ordinary `type` objects whose methods are our function objects (so
// an instance attribute hides a method and a Python subclass overrides it),
// and imports with the interpreter's own errors.
#pragma once

#include "function.h"

#include <string>
#include <utility>
#include <vector>

namespace glue {

// `type(name, (base,), namespace)`, the methods defined one by one.
class ClassBuilder {
  public:
    ClassBuilder(nb::module_ &m, const char *name, nb::handle base = nb::handle(), const char *doc = nullptr)
        : m_(m), name_(name), base_(base.is_valid() ? base : nb::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type))) {
        ns_["__module__"] = m.attr("__name__");
        ns_["__qualname__"] = name;
        if (doc) ns_["__doc__"] = doc;
    }
    // `params` excludes self; the TypeError texts name the method by its qualified name.
    ClassBuilder &method(const char *name, std::vector<std::string> params, Body body, std::vector<nb::object> defaults = {},
                         const char *attr_name = nullptr) {
        params.insert(params.begin(), "self");
        std::string qual = name_ + "." + name;
        last_ = function(m_.attr("__dict__"), name, Signature{qual, std::move(params), std::move(defaults)}, body);
        ns_[attr_name ? attr_name : name] = last_;
        return *this;
    }
    // The docstring of the method defined last.
    ClassBuilder &doc(const char *text) {
        last_.attr("__doc__") = text;
        return *this;
    }
    ClassBuilder &attr(const char *name, nb::handle value) {
        ns_[name] = value;
        return *this;
    }
    nb::object build() {
        nb::object type = nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type));
        nb::object cls = type(name_.c_str(), nb::make_tuple(base_), ns_);
        m_.attr(name_.c_str()) = cls;
        return cls;
    }

  private:
    nb::module_ &m_;
    std::string name_;
    nb::handle base_;
    nb::dict ns_;
    nb::object last_;
};

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
        nb::object missing_name = nb::getattr(missing.value(), "name", nb::none());
        if (!missing_name.is_valid() || !PyUnicode_Check(missing_name.ptr()) ||
            PyUnicode_CompareWithASCIIString(missing_name.ptr(), sub.c_str()) != 0) {
            missing.restore();
            throw nb::python_error();
        }
    }
    PyObject *file = PyModule_GetFilenameObject(mod.ptr());
    if (!file) PyErr_Clear();
    nb::object where = file ? nb::steal(file) : nb::object(nb::str("unknown location"));
    nb::str msg = nb::str("cannot import name '{}' from '{}' ({})").format(name, module, where);
    nb::object exc = check(PyObject_CallOneArg(PyExc_ImportError, msg.ptr()));
    PyObject_SetAttrString(exc.ptr(), "name", nb::str(module).ptr());
    raise_object(exc);
}

}  // namespace glue
