// The sequence kinds: items converted into a vector, or read in place with each item kept
// alive beside its view.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "module/converters.hpp"
#include "module/items.hpp"
#include "module/scalars.hpp"
#include "scheduler/planner.hpp"

namespace quor::frame {

template <class Item>
struct SequenceOf {
  using type = std::vector<typename Item::type>;
  static bool from_python(PyObject* o, type& out) {
    if (!check_sequence(o)) return false;
    reserve_hint(o, out);
    return for_each_item(o, TouchNothing{}, [&](PyObject* item) {
      return Item::from_python(item, out.emplace_back());
    });
  }
};

// Strong references that a converted value holds so that views into the interpreter's
// buffers stay valid until the call ends, whatever Python code runs meanwhile.
class KeepAlive : NoCopy {
 public:
  ~KeepAlive() {
    for (PyObject* o : refs_) Py_DECREF(o);
  }
  void hold(PyObject* o) {
    // Grow first: a failed allocation must not leave a reference taken.
    if (refs_.size() == refs_.capacity()) refs_.reserve(2 * refs_.size() + 16);
    refs_.push_back(Py_NewRef(o));
  }
  void reserve(size_t n) { refs_.reserve(n); }
  PyObject* operator[](size_t i) const { return refs_[i]; }

 private:
  std::vector<PyObject*> refs_;
};

// Values read in place from a sequence's items: item i is kept alive (and with it the
// buffers its view points into) as object(i), so a result may also hand the item back.
template <class T>
class Views {
 public:
  operator std::span<const T>() const { return {views_.data(), views_.size()}; }
  void add(PyObject* item, const T& view) {
    keep_.hold(item);
    views_.push_back(view);
  }
  void reserve(size_t n) {
    keep_.reserve(n);
    views_.reserve(n);
  }
  const T& view(size_t i) const { return views_[i]; }
  PyObject* object(size_t i) const { return keep_[i]; }

 private:
  KeepAlive keep_;
  std::vector<T> views_;
};

// Items read in place by `Read`, each kept alive beside its view for the length of the call.
// `Touch` prefetches what `Read` will look at in an item.
template <class T, bool (*Read)(PyObject*, T&), class Touch>
struct InPlaceSequence {
  using type = Views<T>;
  static bool from_python(PyObject* o, type& out) {
    if (!check_sequence(o)) return false;
    reserve_hint(o, out);
    return for_each_item(o, Touch{}, [&](PyObject* item) {
      T view;
      if (!Read(item, view)) return false;
      out.add(item, view);
      return true;
    });
  }
};

// A str as a name: its text read in place, and its address as its identity token. The
// object is kept alive for the call, so no other object can take that address meanwhile.
inline bool read_name(PyObject* o, scheduler::Name& out) {
  if (!Text::from_python(o, out.text)) return false;
  out.token = reinterpret_cast<uintptr_t>(o);
  return true;
}
inline bool read_name_pair(PyObject* o, scheduler::Edge& out) {
  return TextPair::read_items<scheduler::Name, &read_name>(o, out);
}

// Names read in place: a result may hand a str itself back.
using NameViews = Views<scheduler::Name>;

struct NameView {};
template <>
struct SequenceOf<NameView> : InPlaceSequence<scheduler::Name, &read_name, TouchStr> {};

struct NamePairView {};
template <>
struct SequenceOf<NamePairView> : InPlaceSequence<scheduler::Edge, &read_name_pair, TouchPair> {};

struct TextPairView {};
template <>
struct SequenceOf<TextPairView>
    : InPlaceSequence<TextPair::type, &TextPair::from_python, TouchPair> {};

}  // namespace quor::frame
