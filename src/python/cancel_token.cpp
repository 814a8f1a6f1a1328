// The CancelToken class and the per-thread stack of current tokens.
#include "python/cancel_token.h"

#include <vector>

#include "python/convert.h"
#include "python/cpp_object.h"

namespace quillmere::python {
namespace {

using TokenObject = CppObject<std::shared_ptr<CancelToken>>;

// Entered tokens of this thread, innermost last (touched only with the lock held).
thread_local std::vector<std::shared_ptr<CancelToken>> t_current;

PyObject* token_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"parent", nullptr};
    PyObject* parent_arg = nullptr;
    if (!parse_args(args, kwargs, "|O:CancelToken", kNames, &parent_arg)) return nullptr;
    std::shared_ptr<const CancelToken> parent;
    if (!is_absent(parent_arg)) {
      if (!PyObject_TypeCheck(parent_arg, type)) {
        raise_wrong_type("parent", parent_arg, "CancelToken");
        return nullptr;
      }
      parent = TokenObject::value(parent_arg);
    }
    return TokenObject::create(type, std::make_shared<CancelToken>(std::move(parent)));
  });
}

PyObject* cancel_impl(PyObject* self) {
  TokenObject::value(self)->cancel();
  Py_RETURN_NONE;
}

PyObject* enter_impl(PyObject* self) {
  t_current.push_back(TokenObject::value(self));
  return Py_NewRef(self);
}

PyObject* exit_impl(PyObject* self, PyObject*) {
  if (t_current.empty() || t_current.back() != TokenObject::value(self)) {
    return raise_error(PyExc_RuntimeError, "CancelToken left in another order than entered");
  }
  t_current.pop_back();
  Py_RETURN_FALSE;
}

PyObject* current_impl(PyObject*) {
  if (t_current.empty()) Py_RETURN_NONE;
  PyObject* type = cancel_token_type();
  if (type == nullptr) return nullptr;
  return TokenObject::create(reinterpret_cast<PyTypeObject*>(type),
                             std::shared_ptr<CancelToken>(t_current.back()));
}

PyObject* token_cancelled(PyObject* self, void*) {
  return PyBool_FromLong(TokenObject::value(self)->cancelled());
}

DefTable kTokenMethods{
    method_def<cancel_impl>(
        "cancel",
        "cancel($self, /)\n--\n\n"
        "Asks the work under this token (and under tokens made with it as parent) to stop;\n"
        "callable from any thread. The work raises concurrent.futures.CancelledError."),
    method_def<enter_impl>(
        "__enter__",
        "__enter__($self, /)\n--\n\nMakes this the current token of the calling thread."),
    PyMethodDef{"__exit__",
                +[](PyObject* self, PyObject* args) noexcept -> PyObject* {
                  return guarded([&] { return exit_impl(self, args); });
                },
                METH_VARARGS,
                "__exit__($self, /, *exc_info)\n--\n\nRestores the thread's previous token."},
    static_method_def<current_impl>(
        "current",
        "current()\n--\n\nThe calling thread's current token (the innermost `with`), or None."),
};

DefTable kTokenGetters{
    getter_def("cancelled", token_cancelled, "True once this token or a parent was cancelled."),
};

PyType_Slot kTokenSlots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "CancelToken(parent=None)\n--\n\n"
         "Stops native work from another thread or an event loop. Native calls made on a\n"
         "thread inside `with token:` stop at their next block boundary once the token (or\n"
         "its parent) is cancelled, helper threads included, and raise\n"
         "concurrent.futures.CancelledError. Ctrl-C stops them the same way.")},
    {Py_tp_new, reinterpret_cast<void*>(&token_new)},
    {Py_tp_dealloc, TokenObject::dealloc_slot()},
    {Py_tp_methods, kTokenMethods},
    {Py_tp_getset, kTokenGetters},
    {0, nullptr},
};

PyType_Spec kTokenSpec = {"_quillmere.CancelToken", TokenObject::kBasicSize, 0, Py_TPFLAGS_DEFAULT,
                          kTokenSlots};
LazyType g_token_type{&kTokenSpec};

}  // namespace

PyObject* cancel_token_type() {
  return g_token_type.get();
}

std::shared_ptr<const CancelToken> current_cancel_token() {
  if (t_current.empty()) return nullptr;
  return t_current.back();
}

PyObject* raise_cancelled() {
  PyRef module = PyRef::steal(PyImport_ImportModule("concurrent.futures"));
  PyRef error =
      module ? PyRef::steal(PyObject_GetAttrString(module.get(), "CancelledError")) : PyRef();
  if (!error) return nullptr;
  PyErr_SetString(error.get(), "the work was cancelled");
  return nullptr;
}

}  // namespace quillmere::python
