// The one walk over the items of a sequence, with its read-ahead: every sequence kind reads
// its items through it.
#pragma once

#include <type_traits>

#include "common/platform.hpp"
#include "module/python.hpp"

namespace quor::frame {

// The items of an exact list or tuple, by index (borrowed).
class ExactItems {
 public:
  explicit ExactItems(PyObject* o)
      : o_(o),
        list_(PyList_CheckExact(o) != 0),
        size_of_(list_ ? PyList_Size : PyTuple_Size),
        item_of_(list_ ? PyList_GetItem : PyTuple_GetItem) {}
  Py_ssize_t size() const { return size_of_(o_); }
  PyObject* get(Py_ssize_t i) const { return item_of_(o_, i); }
  bool list() const { return list_; }

 private:
  PyObject* o_;
  bool list_;
  Py_ssize_t (*size_of_)(PyObject*);
  PyObject* (*item_of_)(PyObject*, Py_ssize_t);
};

inline bool is_exact_list_or_tuple(PyObject* o) {
  return PyList_CheckExact(o) || PyTuple_CheckExact(o);
}

// Prefetches what a reader will look at in an item, ahead of reading it.
struct TouchNothing {
  void operator()(PyObject*) const {}
};
// A str's header and its first bytes (inline in a compact ASCII str) span two lines at most.
struct TouchStr {
  void operator()(PyObject* s) const {
    platform::prefetch(s);
    platform::prefetch(reinterpret_cast<const char*>(s) + 64);
  }
};
struct TouchPair {
  void operator()(PyObject* t) const {
    if (!PyTuple_CheckExact(t) || PyTuple_Size(t) != 2) return;
    TouchStr{}(PyTuple_GetItem(t, 0));
    TouchStr{}(PyTuple_GetItem(t, 1));
  }
};

// How a walk reads ahead of the item it gives `each`.
enum class Walk {
  // `each` may run Python code, which may change a list: the list is re-measured at every
  // step, as its own iterator does, and each item fetched afresh and held while `each(item)`
  // reads it; a false from `each` stops the walk. A long sequence (a short one's objects are
  // likely cached) is read ahead where `first` is a touch: the object 2 * kAhead places on is
  // prefetched, and `first` prefetches what `each` will read of the one kAhead places on.
  Live,
  // `each` runs no Python code, so the items cannot change: each is fetched once, kAhead
  // places before it is read, and its object prefetched then. `first(item)`, a check that
  // runs no code either, decides whether the walk goes on to `each(item)` or stops there.
  Fixed,
};
inline constexpr Py_ssize_t kAhead = 8, kLong = 4096;

// Calls `each(item)` for the items of the exact list or tuple `o` from index `at` on, as
// `How` says. Returns true when it took them all; `at` is left at the item it stopped at.
// The read-ahead lets the misses on scattered objects overlap.
template <Walk How, class First, class Each>
bool walk_items(PyObject* o, Py_ssize_t& at, First&& first, Each&& each) {
  const ExactItems items(o);
  Py_ssize_t i = at;
  if constexpr (How == Walk::Fixed) {
    const Py_ssize_t n = items.size();
    PyObject* ring[kAhead];
    for (Py_ssize_t j = i; j < n && j < i + kAhead; ++j) {
      ring[j % kAhead] = items.get(j);
      platform::prefetch(ring[j % kAhead]);
    }
    for (; i < n; ++i) {
      PyObject*& slot = ring[i % kAhead];
      PyObject* item = slot;
      if (!first(item)) break;
      if (i + kAhead < n) {
        slot = items.get(i + kAhead);
        platform::prefetch(slot);
      }
      each(item);
    }
    at = i;
    return i == n;
  } else {
    const bool ahead = !std::is_same_v<std::decay_t<First>, TouchNothing> && items.size() >= kLong;
    for (; i < items.size(); ++i) {
      if (ahead) {
        const Py_ssize_t n = items.size();
        if (i + 2 * kAhead < n) platform::prefetch(items.get(i + 2 * kAhead));
        if (i + kAhead < n) first(items.get(i + kAhead));
      }
      // A list's item is held: `each` may drop the list's own reference to it.
      py::Ref held(items.list() ? Py_NewRef(items.get(i)) : nullptr);
      if (!each(held ? held.get() : items.get(i))) {
        at = i;
        return false;
      }
    }
    at = i;
    return true;
  }
}

// Calls `each(item)` for every item of any sequence, stopping at the first false; exact
// lists and tuples by index, read ahead with `touch`, anything else by its iterator.
template <class Touch, class Each>
bool for_each_item(PyObject* o, Touch&& touch, Each&& each) {
  if (is_exact_list_or_tuple(o)) {
    Py_ssize_t at = 0;
    return walk_items<Walk::Live>(o, at, touch, each);
  }
  py::Ref it(PyObject_GetIter(o));
  if (!it) return false;
  while (py::Ref item{PyIter_Next(it.get())}) {
    if (!each(item.get())) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace quor::frame
