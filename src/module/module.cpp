// The module object, its function table and its one-per-process lifecycle.
#include <array>
#include <atomic>
#include <cstdint>

#include "actors/actors.hpp"
#include "channels/channels.hpp"
#include "checkpoint/checkpoint.hpp"
#include "cost/cost.hpp"
#include "module/frame.hpp"
#include "module/python.hpp"
#include "scheduler/planner.hpp"
#include "vectors/vectors.hpp"

namespace quor {
namespace {

using namespace frame;

// The function table, in registration order. A function is a descriptor and an operation.

struct CosineSimilarity {
  static constexpr const char* name = "cosine_similarity";
  static constexpr const char* doc =
      "cosine_similarity(a, b)\n--\n\nCosine similarity between two equal-length vectors.";
  static constexpr std::array<const char*, 2> params{"a", "b"};
  using kinds = Kinds<RealSequence<float>, RealSequence<float>>;
  static constexpr auto op = &vectors::cosine_similarity;
};

struct TopK {
  static constexpr const char* name = "top_k";
  static constexpr const char* doc =
      "top_k(query, matrix, k)\n--\n\n"
      "Indices and scores of the `k` rows most similar to `query`.";
  static constexpr std::array<const char*, 3> params{"query", "matrix", "k"};
  using kinds = Kinds<RealSequence<float>, MatrixOfSingleReals, Count>;
  static constexpr auto op = &vectors::top_k;
};

struct EncodeCheckpoint {
  static constexpr const char* name = "encode_checkpoint";
  static constexpr const char* doc =
      "encode_checkpoint(json_str)\n--\n\n"
      "Encode a JSON document string into a framed checkpoint blob.";
  static constexpr std::array<const char*, 1> params{"json_str"};
  using kinds = Kinds<Text>;
  static constexpr auto op = &checkpoint::encode_checkpoint;
};

struct DecodeCheckpoint {
  static constexpr const char* name = "decode_checkpoint";
  static constexpr const char* doc =
      "decode_checkpoint(blob)\n--\n\nDecode a framed checkpoint blob back into a JSON string.";
  static constexpr std::array<const char*, 1> params{"blob"};
  using kinds = Kinds<SequenceOf<Byte>>;
  static constexpr auto op = &checkpoint::decode_checkpoint;
};

struct ReduceChannel {
  static constexpr const char* name = "reduce_channel";
  static constexpr const char* doc =
      "reduce_channel(reducer, current_json, update_json)\n--\n\n"
      "Reduce `current` with `update` under the named channel reducer.";
  static constexpr std::array<const char*, 3> params{"reducer", "current_json", "update_json"};
  using kinds = Kinds<Text, Text, Text>;
  static constexpr auto op = &channels::reduce_channel;
};

struct AdvanceSuperstep {
  static constexpr const char* name = "advance_superstep";
  static constexpr const char* doc =
      "advance_superstep(state_json, reducers_json, updates_json)\n--\n\n"
      "Apply a whole superstep's node updates to graph state in one call.";
  static constexpr std::array<const char*, 3> params{"state_json", "reducers_json", "updates_json"};
  using kinds = Kinds<Text, Text, Text>;
  static constexpr auto op = &channels::advance_superstep;
};

struct PlanSupersteps {
  static constexpr const char* name = "plan_supersteps";
  static constexpr const char* doc =
      "plan_supersteps(nodes, edges)\n--\n\nPlan BSP supersteps for the given nodes and edges.";
  static constexpr std::array<const char*, 2> params{"nodes", "edges"};
  using kinds = Kinds<SequenceOf<OwnedText>, SequenceOf<TextPair>>;
  static constexpr auto op = &scheduler::plan_supersteps;
};

struct HashEvent {
  static constexpr const char* name = "hash_event";
  static constexpr const char* doc =
      "hash_event(prev_hash, payload)\n--\n\n"
      "Chained hash for an audit entry: `sha256(prev_hash || payload)`.";
  static constexpr std::array<const char*, 2> params{"prev_hash", "payload"};
  using kinds = Kinds<Text, Text>;
  static constexpr auto op = &actors::hash_event;
};

struct VerifyChain {
  static constexpr const char* name = "verify_chain";
  static constexpr const char* doc =
      "verify_chain(genesis, entries)\n--\n\n"
      "Verify a hash chain; returns the index of the first broken link or `None`.";
  static constexpr std::array<const char*, 2> params{"genesis", "entries"};
  using kinds = Kinds<Text, SequenceOf<TextPairView>>;
  static constexpr auto op = &actors::verify_chain;
};

struct AggregateCost {
  static constexpr const char* name = "aggregate_cost";
  static constexpr const char* doc =
      "aggregate_cost(values)\n--\n\nSum per-call costs into a single total.";
  static constexpr std::array<const char*, 1> params{"values"};
  using kinds = Kinds<RealSequence<double>>;
  static constexpr auto op = &cost::aggregate_cost;
};

template <class F>
constexpr PyMethodDef method() {
  return {F::name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<F>)),
          METH_FASTCALL | METH_KEYWORDS, F::doc};
}

PyMethodDef functions[] = {
    method<CosineSimilarity>(), method<TopK>(),           method<EncodeCheckpoint>(),
    method<DecodeCheckpoint>(), method<ReduceChannel>(),  method<AdvanceSuperstep>(),
    method<PlanSupersteps>(),   method<HashEvent>(),      method<VerifyChain>(),
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
    PyErr_SetString(PyExc_TypeError, "quor_core.__all__ must be a list");
    return false;
  }
  if (PyList_Append(all.get(), name) < 0) {
    PyErr_Clear();
    panic("could not append to quor_core.__all__");
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
    PyErr_SetString(PyExc_TypeError, "function __name__ must be a str");
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

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quor_core(void) {
  using namespace quor;
  try {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
      py::ensure_error();
      return nullptr;
    }
    int64_t expected = -1;
    if (!bound_interpreter.compare_exchange_strong(expected, id) && expected != id) {
      PyErr_SetString(PyExc_ImportError, "quor_core does not support subinterpreters");
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
    return frame::panic("module initialisation failed");
  }
}
