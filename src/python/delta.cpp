// The `delta` module: Jaccard overlap, the reuse decision with its justification, and the
// economic delta, with the cost model read from a dict.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/economics.h"
#include "python/convert.h"
#include "python/functions.h"

namespace quillmere::python {
namespace {

// "module.name" of the value's type, e.g. "builtins.NoneType".
std::string qualified_type_name(PyObject* value) {
  // Owned: a metaclass's attribute hooks run Python code that may reassign __class__.
  PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  PyRef module = PyRef::steal(PyObject_GetAttrString(type.get(), "__module__"));
  PyRef name = PyRef::steal(PyObject_GetAttrString(type.get(), "__name__"));
  const char* module_text =
      module && PyUnicode_Check(module.get()) ? PyUnicode_AsUTF8(module.get()) : nullptr;
  const char* name_text =
      name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
  PyErr_Clear();
  if (module_text == nullptr || name_text == nullptr) {
    return reinterpret_cast<PyTypeObject*>(type.get())->tp_name;
  }
  return std::string(module_text) + "." + name_text;
}

bool cost_error(const char* key, std::string_view what) {
  raise_value_error(ErrorFamily::Economics, std::string(key).append(what));
  return false;
}

// One entry of the cost model: a number, or a {"type": "constant" | "linear", ...} dict.
// Every value looked up is held by an owned reference: the conversions run Python code
// (__float__, __index__, a key's __eq__) that may delete it from its dict.
bool parse_cost_value(PyObject* model, const char* key, CostValue& out) {
  const PyRef value = dict_item(model, key);
  if (!value) {
    if (PyErr_Occurred()) return false;
    raise_value_error(ErrorFamily::Economics, std::string("Missing required field: ") + key);
    return false;
  }
  if (const std::optional<double> number = lenient_f64(value.get())) {
    out = CostValue::constant(*number);
    return true;
  }
  if (!PyDict_Check(value.get())) {
    return cost_error(key, ": expected float or dict, got " + qualified_type_name(value.get()));
  }
  const PyRef type_obj = dict_item(value.get(), "type");
  if (!type_obj && PyErr_Occurred()) return false;
  std::string type;
  if (!lenient_text(type_obj.get(), type)) return cost_error(key, ": missing 'type' field");
  // Looks a number up in the cost's dict: false with the lookup's error or "missing" set.
  const auto field = [&](const char* name, double& number) {
    const PyRef item = dict_item(value.get(), name);
    if (!item && PyErr_Occurred()) return false;
    const std::optional<double> d = lenient_f64(item.get());
    if (!d) return cost_error(key, std::string(": missing '") + name + "' field");
    number = *d;
    return true;
  };
  if (type == "constant") {
    double v = 0.0;
    if (!field("value", v)) return false;
    out = CostValue::constant(v);
    return true;
  }
  if (type == "linear") {
    double per_row = 0.0;
    double base = 0.0;
    if (!field("per_row", per_row) || !field("base", base)) return false;
    out = CostValue::linear(per_row, base);
    return true;
  }
  return cost_error(key, ": invalid type '" + type + "', expected 'constant' or 'linear'");
}

bool dict_to_cost_model(PyObject* dict, CostModel& out) {
  const PyRef model = PyRef::borrow(dict);  // kept alive whatever the values' hooks do
  return parse_cost_value(model.get(), "c_id", out.c_id) &&
         parse_cost_value(model.get(), "c_comp", out.c_comp) &&
         parse_cost_value(model.get(), "alpha", out.alpha);
}

// The arguments decide_reuse_py and economic_delta_py share, converted in order.
struct ReuseArgs {
  double overlap_j = 0.0;
  CostModel model;
  std::optional<uint64_t> row_count;
};

bool convert_reuse_args(PyObject* args, PyObject* kwargs, const char* format, ReuseArgs& out) {
  static const char* const kNames[] = {"overlap_j", "cost_model", "row_count", nullptr};
  PyObject* overlap_arg = nullptr;
  PyObject* model_arg = nullptr;
  PyObject* rows_arg = nullptr;
  return parse_args(args, kwargs, format, kNames, &overlap_arg, &model_arg, &rows_arg) &&
         convert_f64(overlap_arg, "overlap_j", out.overlap_j) &&
         check_dict(model_arg, "cost_model") &&
         convert_optional_u64(rows_arg, "row_count", out.row_count) &&
         dict_to_cost_model(model_arg, out.model);
}

// Sets dict[key] = value, taking over the new reference `value`.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* jaccard_similarity_py(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"set1", "set2", nullptr};
  PyObject* set1_arg = nullptr;
  PyObject* set2_arg = nullptr;
  if (!parse_args(args, kwargs, "OO:jaccard_similarity_py", kNames, &set1_arg, &set2_arg)) {
    return nullptr;
  }
  std::vector<std::string> set1;
  std::vector<std::string> set2;
  if (!convert_str_sequence(set1_arg, "set1", set1) ||
      !convert_str_sequence(set2_arg, "set2", set2)) {
    return nullptr;
  }
  return PyFloat_FromDouble(jaccard_similarity(set1, set2));
}

PyObject* decide_reuse_py(PyObject*, PyObject* args, PyObject* kwargs) {
  ReuseArgs in;
  if (!convert_reuse_args(args, kwargs, "OO|O:decide_reuse_py", in)) return nullptr;
  const ReuseOutcome j = decide_reuse(in.overlap_j, in.model, in.row_count);
  const std::string_view decision = decision_text(j.decision);
  PyRef justification = PyRef::steal(PyDict_New());
  if (!justification ||
      !set_item(justification.get(), "overlap_j", PyFloat_FromDouble(j.overlap_j)) ||
      !set_item(justification.get(), "alpha", PyFloat_FromDouble(j.alpha)) ||
      !set_item(justification.get(), "c_id", PyFloat_FromDouble(j.c_id)) ||
      !set_item(justification.get(), "c_comp", PyFloat_FromDouble(j.c_comp)) ||
      !set_item(justification.get(), "decision", new_str(decision))) {
    return nullptr;
  }
  PyRef result = PyRef::steal(PyDict_New());
  if (!result || !set_item(result.get(), "decision", new_str(decision)) ||
      !set_item(result.get(), "justification", justification.release())) {
    return nullptr;
  }
  return result.release();
}

PyObject* economic_delta_py(PyObject*, PyObject* args, PyObject* kwargs) {
  ReuseArgs in;
  if (!convert_reuse_args(args, kwargs, "OO|O:economic_delta_py", in)) return nullptr;
  return PyFloat_FromDouble(economic_delta(in.overlap_j, in.model, in.row_count));
}

#define QM_COST_ARGS                                                 \
  "    cost_model: Cost model dict with keys: c_id, c_comp, alpha\n" \
  "    row_count: Optional row count for linear cost calculation\n"

constexpr const char* kDecideReuseDoc =
    "decide_reuse_py(overlap_j, cost_model, row_count=None)\n"
    "--\n"
    "\n"
    "Decide whether to reuse based on overlap and cost model.\n"
    "\n"
    "Implements the reuse rule: Reuse iff J > C_id / (\xce\xb1 \xc2\xb7 C_comp)\n"
    "\n"
    "Args:\n"
    "    overlap_j: Jaccard overlap [0,1] between prior and current chunk sets\n" QM_COST_ARGS
    "\n"
    "Returns:\n"
    "    Tuple of (decision, justification) where:\n"
    "    - decision: \"reuse\", \"recompute\", or \"hybrid\"\n"
    "    - justification: Dict with overlap_j, alpha, c_id, c_comp, decision";

constexpr const char* kEconomicDeltaDoc =
    "economic_delta_py(overlap_j, cost_model, row_count=None)\n"
    "--\n"
    "\n"
    "Compute economic delta (savings estimate) from reuse decision.\n"
    "\n"
    "Economic delta is defined as: \xce\x94"
    "C \xe2\x89\x88 \xce\xb1 \xc2\xb7 C_comp \xc2\xb7 J - C_id\n"
    "Positive values indicate savings from reuse.\n"
    "\n"
    "Args:\n"
    "    overlap_j: Jaccard overlap [0,1]\n" QM_COST_ARGS
    "\n"
    "Returns:\n"
    "    Economic delta (positive = savings, negative = cost)";

constexpr const char* kJaccardDoc =
    "jaccard_similarity_py(set1, set2)\n"
    "--\n"
    "\n"
    "Compute Jaccard similarity between two sets.\n"
    "\n"
    "Jaccard similarity is defined as: J(U,V) = |U \xe2\x88\xa9 V| / |U \xe2\x88\xaa V|\n"
    "\n"
    "Args:\n"
    "    set1: First set of chunk identifiers (list of strings)\n"
    "    set2: Second set of chunk identifiers (list of strings)\n"
    "\n"
    "Returns:\n"
    "    Jaccard similarity in [0, 1]";

}  // namespace

MethodTable<3> kDeltaFunctions{
    method_def<decide_reuse_py>("decide_reuse_py", kDecideReuseDoc),
    method_def<economic_delta_py>("economic_delta_py", kEconomicDeltaDoc),
    method_def<jaccard_similarity_py>("jaccard_similarity_py", kJaccardDoc),
};

}  // namespace quillmere::python
