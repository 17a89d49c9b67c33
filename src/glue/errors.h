// Raising and catching Python exceptions from C++ the way Python code would.
//
// Raising: raise() makes a new exception, chained to the one being handled
// as a `raise` statement chains it; reraise() raises an exception object as
// it is (a `raise exc` of an exception thrown in from outside).
//
// Catching: two policies name what a `try` in the modules may swallow, and
// in both the handler runs with the caught exception as the handled one
// (sys.exc_info(), and the __context__ of anything raised in the handler):
//   except_exception: Python's `except Exception:`; SystemExit,
//                     KeyboardInterrupt and GeneratorExit pass through.
//   except_failure:   a bare `except:` that never eats the user's interrupt:
//                     everything but KeyboardInterrupt.
//   except_plugin:    `except (Exception, SystemExit):`, around a plug-in's
//                     own code: its sys.exit() is its failure, while an
//                     interrupt, GeneratorExit or any other BaseException
//                     reaches the caller.
//
// attr_or()/has_attr() are getattr(o, name, default)/hasattr(o, name):
// only an AttributeError means "missing". checked_text() is the one way to
// see a Python text as C++ text.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>
#include <utility>

namespace nb = nanobind;

namespace glue {

// Take ownership of a new reference from the C API; raise if it is null.
inline nb::object check(PyObject *o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

// raise type(msg), chained to the exception being handled (set explicitly:
// not every interpreter version chains an error raised from C).
[[noreturn]] inline void raise(PyObject *type, nb::handle msg) {
    nb::object exc = check(PyObject_CallOneArg(type, msg.ptr()));
    PyObject *t, *handled, *tb;
    PyErr_GetExcInfo(&t, &handled, &tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    PyObject *context = PyException_GetContext(exc.ptr());
    if (handled && handled != Py_None && !context)
        PyException_SetContext(exc.ptr(), handled);  // steals
    else
        Py_XDECREF(handled);
    Py_XDECREF(context);
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw nb::python_error();
}
[[noreturn]] inline void raise(PyObject *type, const std::string &msg) { raise(type, check(PyUnicode_FromString(msg.c_str()))); }

// Raise an exception object exactly as it is: its __context__ and traceback
// are not replaced by whatever the caller is handling.
[[noreturn]] inline void reraise(nb::handle exc) {
    PyObject *tb = PyException_GetTraceback(exc.ptr());
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr()))), Py_NewRef(exc.ptr()), tb);
    throw nb::python_error();
}

// `assert ok`: an AssertionError, unless assertions are stripped (python -O).
inline void assert_that(bool ok) {
    if (ok) return;
    static int enabled = -1;  // sys.flags.optimize cannot change while the process runs
    if (enabled < 0) {
        nb::object flags = nb::borrow(PySys_GetObject("flags"));
        enabled = flags.is_valid() && PyObject_IsTrue(flags.attr("optimize").ptr()) == 1 ? 0 : 1;
    }
    if (enabled) {
        PyErr_SetNone(PyExc_AssertionError);
        throw nb::python_error();
    }
}

// For its lifetime, `caught` is the exception being handled, as inside an
// `except` block; the one handled before comes back afterwards.
class Handling {
  public:
    explicit Handling(nb::python_error &caught) {
        PyErr_GetExcInfo(&type_, &value_, &trace_);
        PyObject *v = caught.value().ptr();
        PyErr_SetExcInfo(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(v))), Py_NewRef(v), PyException_GetTraceback(v));
    }
    ~Handling() { PyErr_SetExcInfo(type_, value_, trace_); }
    Handling(const Handling &) = delete;
    Handling &operator=(const Handling &) = delete;

  private:
    PyObject *type_ = nullptr, *value_ = nullptr, *trace_ = nullptr;
};

// try: body()  except <what the policy takes> as e: handler(e)
template <typename Takes, typename Body, typename Handler>
inline auto except_when(Takes &&takes, Body &&body, Handler &&handler) -> decltype(body()) {
    try {
        return body();
    } catch (nb::python_error &e) {
        if (!takes(e)) throw;
        Handling handling(e);
        return handler(e);
    }
}

template <typename Body, typename Handler>
inline auto except_exception(Body &&body, Handler &&handler) -> decltype(body()) {
    return except_when([](nb::python_error &e) { return e.matches(PyExc_Exception); }, std::forward<Body>(body),
                       std::forward<Handler>(handler));
}

template <typename Body, typename Handler>
inline auto except_failure(Body &&body, Handler &&handler) -> decltype(body()) {
    return except_when([](nb::python_error &e) { return !e.matches(PyExc_KeyboardInterrupt); }, std::forward<Body>(body),
                       std::forward<Handler>(handler));
}

template <typename Body, typename Handler>
inline auto except_plugin(Body &&body, Handler &&handler) -> decltype(body()) {
    return except_when([](nb::python_error &e) { return e.matches(PyExc_Exception) || e.matches(PyExc_SystemExit); },
                       std::forward<Body>(body), std::forward<Handler>(handler));
}

// getattr(o, name, fallback): only an AttributeError gives the fallback.
inline nb::object attr_or(nb::handle o, const char *name, nb::handle fallback) {
    PyObject *v = PyObject_GetAttrString(o.ptr(), name);
    if (v) return nb::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return fallback.is_valid() ? nb::borrow(fallback) : nb::object();
}

// hasattr(o, name)
inline bool has_attr(nb::handle o, const char *name) { return attr_or(o, name, nb::handle()).is_valid(); }

// The UTF-8 text of a Python str, valid while `s` lives. A non-str raises
// TypeError naming `what`; text that UTF-8 cannot hold (lone surrogates)
// raises the interpreter's UnicodeEncodeError. Never a null pointer.
inline std::string_view checked_text(nb::handle s, const char *what = "text") {
    if (!PyUnicode_Check(s.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", what, Py_TYPE(s.ptr())->tp_name);
        throw nb::python_error();
    }
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!data) throw nb::python_error();
    return std::string_view(data, size_t(size));
}

}  // namespace glue
