// Classes made the way the `class` statement makes them: ordinary `type`
// objects whose methods are our function objects (so an instance attribute
// hides a method and a Python subclass overrides it).
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
                         const char *attr_name = nullptr, bool makes_generator = false) {
        params.insert(params.begin(), "self");
        std::string qual = name_ + "." + name;
        last_ = function(m_.attr("__dict__"), name, Signature{qual, std::move(params), std::move(defaults), makes_generator},
                         body);
        ns_[attr_name ? attr_name : name] = last_;
        return *this;
    }
    // A method whose calls make a generator (a generator function).
    ClassBuilder &generator_method(const char *name, std::vector<std::string> params, Body body) {
        return method(name, std::move(params), body, {}, nullptr, true);
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

}  // namespace glue
