// CppObject<T>: a Python object that owns one C++ value for its whole life, the
// once-per-process creation of its heap type, and the constructor slot of a class whose
// instances only the module's functions make.
//
//   using ReceiptObject = CppObject<Receipt>;
//   constexpr char kMadeBy[] = "PyReceipt objects come from ...";
//   PyType_Slot slots[] = {{Py_tp_new, refuse_construction_slot<kMadeBy>()},
//                          {Py_tp_dealloc, ReceiptObject::dealloc_slot()}, ...};
//   PyType_Spec type_desc = {"receipts.PyReceipt", ReceiptObject::kBasicSize, 0, flags, slots};
//   LazyType type{&type_desc};
//   PyObject* obj = ReceiptObject::create(type.get_type(), std::move(receipt));
//   const Receipt& r = ReceiptObject::value(obj);
//   const Receipt* arg = ReceiptObject::argument(obj, type, "receipt", "PyReceipt");
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <type_traits>
#include <utility>

#include "python/convert.h"

namespace quillmere::python {

template <class T>
class CppObject {
  static_assert(std::is_nothrow_move_constructible_v<T>,
                "an allocated object must not be left half built");

 public:
  static constexpr int kBasicSize = static_cast<int>(sizeof(CppObject));

  // A new instance of `type` (a type created with kBasicSize and dealloc_slot()) that
  // holds `value`; nullptr with the allocation's exception set.
  static PyObject* create(PyTypeObject* type, T&& value) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    CppObject* object = cast(self);
    new (&object->value_) T(std::move(value));
    object->constructed_ = true;
    return self;
  }

  // The held value of an instance created by create().
  static T& value(PyObject* self) noexcept { return cast(self)->value_; }

  static void* dealloc_slot() noexcept { return reinterpret_cast<void*>(&dealloc); }

  // The held value when `obj` is an instance of `type`; otherwise nullptr with the TypeError
  // "argument 'ARG': 'TYPE' object cannot be converted to 'KIND'".
  template <class Type>
  static T* argument(PyObject* obj, const Type& type, const char* arg, const char* kind) {
    if (!type.has_instance(obj)) {
      raise_wrong_type(arg, obj, kind);
      return nullptr;
    }
    return &value(obj);
  }

 private:
  static CppObject* cast(PyObject* self) noexcept { return reinterpret_cast<CppObject*>(self); }

  static void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    CppObject* object = cast(self);
    // tp_alloc zero-fills, so an instance whose value was never built says so.
    if (object->constructed_) object->value_.~T();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
  }

  PyObject_HEAD T value_;  // built in place by create(); the struct itself never is
  bool constructed_;
};

// A heap type created from its type description on first use and kept for the life of the process.
struct LazyType {
  PyType_Spec* desc;
  PyObject* type = nullptr;

  // Borrowed; nullptr with an exception set if the type cannot be created.
  PyObject* get() noexcept {
    if (type == nullptr) type = PyType_FromSpec(desc);
    return type;
  }
  PyTypeObject* get_type() noexcept { return reinterpret_cast<PyTypeObject*>(get()); }

  // Whether `obj` is an instance; never creates the type (no instance exists before it).
  bool has_instance(PyObject* obj) const noexcept {
    return type != nullptr && PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type));
  }
};

// Py_tp_new of a class whose instances only the module's functions make: TypeError
// `kMadeBy` (a text with static storage saying where they come from).
template <const char* kMadeBy>
PyObject* refuse_construction(PyTypeObject* /*type*/, PyObject* /*args*/,
                              PyObject* /*kwargs*/) noexcept {
  PyErr_SetString(PyExc_TypeError, kMadeBy);
  return nullptr;
}
template <const char* kMadeBy>
void* refuse_construction_slot() noexcept {
  return reinterpret_cast<void*>(&refuse_construction<kMadeBy>);
}

}  // namespace quillmere::python
