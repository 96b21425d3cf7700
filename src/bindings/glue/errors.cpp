// Maps the core's error kinds to the Python exceptions a host expects.
#include "bindings/glue/errors.hpp"

#include <cstring>
#include <typeinfo>

#include "bindings/glue/convert.hpp"
#include "bindings/glue/imports.hpp"
#include "bindings/glue/python_call.hpp"
#include "common/errors.hpp"

namespace varnel::bindings {

namespace {

void set_json_decode_error(const JsonDecodeError& e) {
  nb::object cls = import_module(PythonModule::Json).attr("JSONDecodeError");
  nb::object exc = cls(text_to_python(e.reason), nb::str(""), 0);
  // The reader already knows the position in characters, line and column;
  // set them rather than handing the whole document over.
  exc.attr("msg") = text_to_python(e.reason);
  exc.attr("doc") = text_to_python(e.document);
  exc.attr("pos") = e.position;
  exc.attr("lineno") = e.line;
  exc.attr("colno") = e.column;
  exc.attr("args") = nb::make_tuple(text_to_python(e.what()));
  PyErr_SetObject(cls.ptr(), exc.ptr());
}

void set_unicode_decode_error(const Utf8DecodeError& e) {
  const std::string reason = e.source.empty() ? e.reason : e.reason + " in " + e.source;
  PyObject* exc = PyUnicodeDecodeError_Create("utf-8", e.bytes.data(), static_cast<Py_ssize_t>(e.bytes.size()),
                                              static_cast<Py_ssize_t>(e.start), static_cast<Py_ssize_t>(e.end),
                                              reason.c_str());
  if (exc == nullptr) return;
  PyErr_SetObject(PyExc_UnicodeDecodeError, exc);
  Py_DECREF(exc);
}

void set_os_error(const OsError& e) {
  PyObject* name = PyUnicode_DecodeFSDefaultAndSize(e.path.data(), static_cast<Py_ssize_t>(e.path.size()));
  if (name == nullptr) return;
  nb::object filename = nb::steal(name);
  nb::object exc = nb::steal(PyObject_CallFunction(PyExc_OSError, "isO", e.code, std::strerror(e.code), filename.ptr()));
  if (!exc.is_valid()) return;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
}

const char* database_error_class(DatabaseError::Kind kind) {
  switch (kind) {
    case DatabaseError::Kind::Operational: return "OperationalError";
    case DatabaseError::Kind::Integrity: return "IntegrityError";
    case DatabaseError::Kind::Programming: return "ProgrammingError";
    case DatabaseError::Kind::Interface: return "InterfaceError";
    case DatabaseError::Kind::Data: return "DataError";
    case DatabaseError::Kind::Internal: return "InternalError";
    case DatabaseError::Kind::NotSupported: return "NotSupportedError";
    case DatabaseError::Kind::Database: break;
  }
  return "DatabaseError";
}

void set_database_error(const DatabaseError& e) {
  // Imported here, on first use: modules that never open a database never
  // load sqlite3.
  nb::object cls = import_module(PythonModule::Sqlite3).attr(database_error_class(e.kind));
  nb::object exc = cls(text_to_python(e.what()));
  if (e.code != 0) exc.attr("sqlite_errorcode") = e.code;
  PyErr_SetObject(cls.ptr(), exc.ptr());
}

// Sets the Python error for a failure of a known kind; false for others.
bool set_python_error(const std::exception_ptr& p) {
  try {
    std::rethrow_exception(p);
  } catch (const MissingKeyError& e) {
    PyErr_SetObject(PyExc_KeyError, text_to_python(e.key).ptr());
  } catch (const NotFoundError& e) {
    PyErr_SetString(PyExc_FileNotFoundError, e.what());
  } catch (const TypeMismatchError& e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const InvalidValueError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const OverflowError& e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const JsonDecodeError& e) {
    set_json_decode_error(e);
  } catch (const Utf8DecodeError& e) {
    set_unicode_decode_error(e);
  } catch (const OsError& e) {
    set_os_error(e);
  } catch (const DatabaseError& e) {
    set_database_error(e);
  } catch (const nb::cast_error&) {
    // A Python value that does not convert to the C++ type asked for, such
    // as the answer of a Python override of a C++ interface.
    PyErr_SetString(PyExc_TypeError, "a Python value has the wrong type for the C++ value it stands for");
  } catch (...) {
    return false;
  }
  return true;
}

void translate(const std::exception_ptr& p, void*) {
  if (!set_python_error(p)) std::rethrow_exception(p);
}

}  // namespace

std::string failure_text(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (nb::python_error& e) {
    return str_text(nb::borrow(e.value()));
  } catch (const std::exception& e) {
    if (!set_python_error(failure)) PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown failure");
  }
  const nb::python_error raised;  // takes the error just set
  return str_text(nb::borrow(raised.value()));
}

void register_error_translator() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  nb::register_exception_translator(translate);
}

}  // namespace varnel::bindings
