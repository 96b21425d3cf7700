// Lets the cyclic collector see the Python objects that a bound C++ object
// holds, so that an object referring back to its owner (a gate or a client
// that keeps its engine) does not keep both alive. T lists them in
// held_objects() and lets them go in drop_held_objects().
#pragma once

#include "bindings/glue/nb.hpp"

namespace varnel::bindings {

template <class T>
class Collected {
 public:
  // The type slots to register the class with.
  static nb::type_slots slots() {
    static PyType_Slot slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(traverse)},
                                  {Py_tp_clear, reinterpret_cast<void*>(clear)},
                                  {0, nullptr}};
    return nb::type_slots(slots);
  }

 private:
  static int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    for (PyObject* held : nb::inst_ptr<T>(self)->held_objects()) Py_VISIT(held);
    return 0;
  }

  static int clear(PyObject* self) {
    if (nb::inst_ready(self)) nb::inst_ptr<T>(self)->drop_held_objects();
    return 0;
  }
};

}  // namespace varnel::bindings
