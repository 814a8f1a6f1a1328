// CppObject<T>: a Python object that owns one C++ value for its whole life, and the
// once-per-process creation of its heap type.
//
//   using ReceiptObject = CppObject<Receipt>;
//   PyType_Slot slots[] = {..., {Py_tp_dealloc, ReceiptObject::dealloc_slot()}, ...};
//   PyType_Spec type_desc = {"receipts.PyReceipt", ReceiptObject::kBasicSize, 0, flags, slots};
//   LazyType type{&type_desc};
//   PyObject* obj = ReceiptObject::create(type.get(), std::move(receipt));
//   const Receipt& r = ReceiptObject::value(obj);
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <type_traits>
#include <utility>

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
};

}  // namespace quillmere::python
