// Raising and catching Python exceptions from C++ the way Python code would.
//
// Two policies name what a `try` in the modules may swallow:
//   except_exception: Python's `except Exception:`; SystemExit,
//                     KeyboardInterrupt and GeneratorExit pass through.
//   except_anything:  a bare `except:`, for the few places whose behaviour is
//                     "never raises, whatever happens".
// And checked_text() is the one way to see a Python text as C++ text.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace nb = nanobind;

namespace glue {

// Take ownership of a new reference from the C API; raise if it is null.
inline nb::object check(PyObject *o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

// Raise a new exception of `type` with a text message. Like a `raise` in
// Python, the exception the caller is handling becomes its __context__.
[[noreturn]] inline void raise(PyObject *type, const std::string &msg) {
    PyErr_SetString(type, msg.c_str());
    throw nb::python_error();
}

// Raise an already built exception object, chained like `raise exc`.
[[noreturn]] inline void raise_object(nb::handle exc) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw nb::python_error();
}

// Raise an exception object exactly as it is: its __context__ is not
// replaced by whatever the caller is handling.
[[noreturn]] inline void raise_unchained(nb::handle exc) {
    PyObject *tb = PyException_GetTraceback(exc.ptr());
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr()))), Py_NewRef(exc.ptr()), tb);
    throw nb::python_error();
}

// Raise `type(msg)` with a message object (say, the result of a `+`).
[[noreturn]] inline void raise(PyObject *type, nb::handle msg) {
    raise_object(check(PyObject_CallOneArg(type, msg.ptr())));
}

// Raise `type(msg)` inside the handler of `caught`: Python chains the two
// implicitly (the new exception's __context__ is `caught`, whose own context
// was set when it was raised). C++ has no handled-exception state, so the
// context is set here and kept.
[[noreturn]] inline void raise_during(PyObject *type, nb::handle msg, nb::python_error &caught) {
    nb::object exc = check(PyObject_CallOneArg(type, msg.ptr()));
    PyException_SetContext(exc.ptr(), caught.value().inc_ref().ptr());
    raise_unchained(exc);
}

// True when the caught error is an `Exception` (what `except Exception` takes).
inline bool is_exception(nb::python_error &e) { return e.matches(PyExc_Exception); }

// try: body()  except Exception as e: handler(e)
template <typename Body, typename Handler>
inline auto except_exception(Body &&body, Handler &&handler) -> decltype(body()) {
    try {
        return body();
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
        return handler(e);
    }
}

// try: body()  except: handler(e)   (everything, KeyboardInterrupt included)
template <typename Body, typename Handler>
inline auto except_anything(Body &&body, Handler &&handler) -> decltype(body()) {
    try {
        return body();
    } catch (nb::python_error &e) {
        return handler(e);
    }
}

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
