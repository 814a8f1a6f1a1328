// The four module definitions and the extension's entry points. `_quillmere` carries the
// other three as attributes; each may also be loaded on its own, but every definition
// yields at most one module object per process.
#include <string>

#include "python/cancel_token.h"
#include "python/client.h"
#include "python/convert.h"
#include "python/functions.h"
#include "python/manifest.h"
#include "python/modules.h"
#include "python/py_receipt.h"
#include "python/signing.h"
#include "python/sketch.h"

namespace quillmere::python {
namespace {

PyModuleDef make_def(const char* name, const char* doc) {
  return PyModuleDef{
      PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
}

bool fill_top_level(PyObject* module);
bool fill_receipts(PyObject* module) {
  PyObject* type = py_receipt_type();
  return type != nullptr && add_to_module(module, "PyReceipt", type) &&
         add_functions(module, kReceiptsFunctions) && add_functions(module, kExecutionFunctions);
}
bool fill_delta(PyObject* module) {
  return add_functions(module, kDeltaFunctions);
}
bool fill_shapes(PyObject* module) {
  PyObject* manifest = manifest_type();
  PyObject* hasher = manifest == nullptr ? nullptr : shape_hasher_type();
  PyObject* sketch = hasher == nullptr ? nullptr : sketch_type();
  return sketch != nullptr && add_functions(module, kShapesFunctions) &&
         add_to_module(module, "Manifest", manifest) &&
         add_to_module(module, "ShapeHasher", hasher) &&
         add_functions(module, kManifestFunctions) && add_to_module(module, "Sketch", sketch) &&
         add_functions(module, kSketchFunctions) && add_functions(module, kManifestPieceFunctions);
}

ModuleDefinition g_top_level{
    make_def("_quillmere",
             "Python module definition\n"
             "\n"
             "This is the internal native module `_quillmere`.\n"
             "The package file `quillmere/__init__.py` wraps it and provides the public API "
             "including asynchronous wrappers."),
    fill_top_level};
ModuleDefinition g_receipts{make_def("receipts", "Python bindings for receipt operations"),
                            fill_receipts};
ModuleDefinition g_delta{make_def("delta", "Python bindings for delta compute operations"),
                         fill_delta};
ModuleDefinition g_shapes{make_def("shapes", "Python bindings for shape operations"), fill_shapes};
ModuleDefinition g_signing{make_def("signing", "Python bindings for receipt signing"),
                           fill_signing};

// Creates a submodule and attaches it to `parent` under its own __name__. Failing to
// create it (in particular because it was already loaded on its own) is an internal fault.
bool register_module(PyObject* parent, ModuleDefinition& definition) {
  PyRef child = PyRef::steal(init_module(definition));
  if (!child) {
    raise_panic("failed to wrap pymodule: " + take_pending_error_text());
    return false;
  }
  PyRef name = PyRef::steal(PyModule_GetNameObject(child.get()));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    PyErr_SetString(PyExc_TypeError, "module __name__ must be a str");
    return false;
  }
  const char* utf8 = PyUnicode_AsUTF8(name.get());
  return utf8 != nullptr && add_to_module(parent, utf8, child.get());
}

// Added after the module's first contents, in this order.
bool add_beside(PyObject* module) {
  PyObject* type = cancel_token_type();
  return type != nullptr && add_to_module(module, "CancelToken", type) &&
         add_functions(module, kStorageFunctions);
}

bool fill_top_level(PyObject* module) {
  PyObject* client = client_type();
  return client != nullptr && add_to_module(module, "Client", client) &&
         add_functions(module, kTopLevelFunctions) && register_module(module, g_delta) &&
         register_module(module, g_receipts) && register_module(module, g_shapes) &&
         add_beside(module) && add_error_types(module) && register_module(module, g_signing);
}

}  // namespace

PyObject* init_module(ModuleDefinition& definition) {
  if (definition.cell != nullptr) {
    std::string message = "module '";
    message += definition.def.m_name;
    message += "' may only be initialized once per interpreter process";
    return raise_error(PyExc_ImportError, message);
  }
  PyRef module = PyRef::steal(PyModule_Create(&definition.def));
  if (!module || !definition.fill(module.get())) return nullptr;
  definition.cell = PyRef::borrow(module.get()).release();  // kept for the process's life
  return module.release();
}

bool add_to_module(PyObject* module, const char* name, PyObject* value) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  if (dict == nullptr) return false;
  PyRef all = dict_item(dict, "__all__");  // owned: setting the attribute may run Python code
  if (!all) {
    if (PyErr_Occurred()) return false;
    all = PyRef::steal(PyList_New(0));
    if (!all || PyDict_SetItemString(dict, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "module __all__ must be a list");
    return false;
  }
  PyRef name_object = PyRef::steal(PyUnicode_FromString(name));
  return name_object && PyList_Append(all.get(), name_object.get()) == 0 &&
         PyObject_SetAttr(module, name_object.get(), value) == 0;
}

bool add_functions(PyObject* module, PyMethodDef* functions) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (PyMethodDef* def = functions; def->ml_name != nullptr; ++def) {
    PyRef function = PyRef::steal(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function || !add_to_module(module, def->ml_name, function.get())) return false;
  }
  return true;
}

}  // namespace quillmere::python

using quillmere::python::guarded;
using quillmere::python::init_module;

PyMODINIT_FUNC PyInit__quillmere() {
  return guarded([] { return init_module(quillmere::python::g_top_level); });
}
PyMODINIT_FUNC PyInit_receipts() {
  return guarded([] { return init_module(quillmere::python::g_receipts); });
}
PyMODINIT_FUNC PyInit_delta() {
  return guarded([] { return init_module(quillmere::python::g_delta); });
}
PyMODINIT_FUNC PyInit_shapes() {
  return guarded([] { return init_module(quillmere::python::g_shapes); });
}
