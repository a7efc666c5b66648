// The module object, its function table and its one-per-process lifecycle.
#include <array>
#include <atomic>
#include <cstdint>

#include "actors/actors.hpp"
#include "channels/channels.hpp"
#include "checkpoint/checkpoint.hpp"
#include "cost/cost.hpp"
#include "module/buffers.hpp"
#include "module/frame.hpp"
#include "module/matrices.hpp"
#include "module/python.hpp"
#include "module/reals.hpp"
#include "module/scalars.hpp"
#include "module/sequences.hpp"
#include "module/texts.hpp"
#include "scheduler/planner.hpp"
#include "vectors/vectors.hpp"

namespace quor {

namespace frame {

// A plan names nodes by position: an exact str is handed back as the caller's own object
// (equal value, same type), anything else as a new exact str.
PyObject* to_python(const scheduler::SuperstepPlan& plan, const NameViews& nodes) {
  py::Ref steps(PyList_New(static_cast<Py_ssize_t>(plan.steps.size())));
  if (!steps) return nullptr;
  for (size_t s = 0; s < plan.steps.size(); ++s) {
    const std::vector<uint32_t>& step = plan.steps[s];
    PyObject* names = PyList_New(static_cast<Py_ssize_t>(step.size()));
    if (!names || PyList_SetItem(steps.get(), static_cast<Py_ssize_t>(s), names) < 0) {
      return nullptr;
    }
    for (size_t i = 0; i < step.size(); ++i) {
      PyObject* node = nodes.object(step[i]);
      PyObject* name =
          PyUnicode_CheckExact(node) ? Py_NewRef(node) : to_python(nodes.view(step[i]).text);
      if (!name || PyList_SetItem(names, static_cast<Py_ssize_t>(i), name) < 0) return nullptr;
    }
  }
  return steps.release();
}

}  // namespace frame

namespace {

using namespace frame;

// The function table, in registration order.

using CosineSimilarity =
    Function<"cosine_similarity", "Cosine similarity between two equal-length vectors.",
             &vectors::cosine_similarity, Param<"a", RealSequence<float>>,
             Param<"b", RealSequence<float>>>;

using TopK = Function<"top_k", "Indices and scores of the `k` rows most similar to `query`.",
                      &vectors::top_k, Param<"query", RealSequence<float>>,
                      Param<"matrix", MatrixOfSingleReals>, Param<"k", Count>>;

using EncodeCheckpoint =
    Function<"encode_checkpoint", "Encode a JSON document string into a framed checkpoint blob.",
             &checkpoint::encode_checkpoint, Param<"json_str", Text>>;

using DecodeCheckpoint =
    Function<"decode_checkpoint", "Decode a framed checkpoint blob back into a JSON string.",
             &checkpoint::decode_checkpoint, Param<"blob", SequenceOf<Byte>>>;

using ReduceChannel =
    Function<"reduce_channel", "Reduce `current` with `update` under the named channel reducer.",
             &channels::reduce_channel, Param<"reducer", Text>, Param<"current_json", Text>,
             Param<"update_json", Text>>;

using AdvanceSuperstep =
    Function<"advance_superstep",
             "Apply a whole superstep's node updates to graph state in one call.",
             &channels::advance_superstep, Param<"state_json", Text>, Param<"reducers_json", Text>,
             Param<"updates_json", Text>>;

using PlanSupersteps =
    Function<"plan_supersteps", "Plan BSP supersteps for the given nodes and edges.",
             &scheduler::plan, Param<"nodes", SequenceOf<NameView>>,
             Param<"edges", SequenceOf<NamePairView>>>;

using HashEvent =
    Function<"hash_event", "Chained hash for an audit entry: `sha256(prev_hash || payload)`.",
             &actors::hash_event, Param<"prev_hash", Text>, Param<"payload", Text>>;

using VerifyChain = Function<
    "verify_chain", "Verify a hash chain; returns the index of the first broken link or `None`.",
    &actors::verify_chain, Param<"genesis", Text>, Param<"entries", SequenceOf<TextPairView>>>;

using AggregateCost = Function<"aggregate_cost", "Sum per-call costs into a single total.",
                               &cost::aggregate_cost, Param<"values", RealTotal>>;

template <class F>
constexpr PyMethodDef method() {
  return {F::name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<F>)),
          METH_FASTCALL | METH_KEYWORDS, F::doc};
}

PyMethodDef functions[] = {
    method<CosineSimilarity>(), method<TopK>(),          method<EncodeCheckpoint>(),
    method<DecodeCheckpoint>(), method<ReduceChannel>(), method<AdvanceSuperstep>(),
    method<PlanSupersteps>(),   method<HashEvent>(),     method<VerifyChain>(),
    method<AggregateCost>(),
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quor_core",  // m_name
    "",           // m_doc: an empty docstring, not None
    0,            // m_size
    nullptr,      // m_methods: functions are added in order by add_attribute
    nullptr,      // m_slots
    nullptr,      // m_traverse
    nullptr,      // m_clear
    nullptr,      // m_free
};

std::atomic<int64_t> bound_interpreter{-1};
PyObject* cached_module = nullptr;

// Appends `name` to __all__, then sets the attribute. Steals `value`.
bool add_attribute(PyObject* module, PyObject* name, PyObject* value) {
  py::Ref owned(value);
  py::Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = py::Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, texts::kAllNotList);
    return false;
  }
  if (PyList_Append(all.get(), name) < 0) {
    PyErr_Clear();
    panic(texts::kAllAppendFailed);
    return false;
  }
  return PyObject_SetAttr(module, name, owned.get()) == 0;
}

bool add_value(PyObject* module, const char* name, PyObject* value) {
  if (!value) return false;
  py::Ref key(PyUnicode_FromString(name));
  if (!key) {
    Py_DECREF(value);
    return false;
  }
  return add_attribute(module, key.get(), value);
}

bool add_function(PyObject* module, PyMethodDef* def) {
  py::Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  py::Ref function(PyCMethod_New(def, module, module_name.get(), nullptr));
  if (!function) return false;
  py::Ref name(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    PyErr_SetString(PyExc_TypeError, texts::kNameNotStr);
    return false;
  }
  return add_attribute(module, name.get(), function.release());
}

PyObject* create_module() {
  py::Ref module(PyModule_Create2(&module_def, 3));
  if (!module) return nullptr;
  if (!add_value(module.get(), "__version__", PyUnicode_FromString("0.1.0"))) return nullptr;
  if (!add_value(module.get(), "NATIVE", Py_NewRef(Py_True))) return nullptr;
  for (PyMethodDef& def : functions) {
    if (!add_function(module.get(), &def)) return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace quor

PyMODINIT_FUNC PyInit_quor_core(void) {
  using namespace quor;
  try {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
      py::ensure_error();
      return nullptr;
    }
    int64_t expected = -1;
    if (!bound_interpreter.compare_exchange_strong(expected, id) && expected != id) {
      PyErr_SetString(PyExc_ImportError, frame::texts::kSubinterpreters);
      return nullptr;
    }
    if (cached_module) return Py_NewRef(cached_module);
    PyObject* module = create_module();
    if (!module) return nullptr;
    cached_module = Py_NewRef(module);
    return module;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    return frame::panic(frame::texts::kInitFailed);
  }
}
