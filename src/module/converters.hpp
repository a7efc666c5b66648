// One converter per argument kind. Each turns a borrowed Python object into plain
// call-owned data, or returns false with a Python exception pending. Nothing here
// knows which function or parameter it serves; the frame adds that.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/platform.hpp"
#include "cost/cost.hpp"
#include "module/python.hpp"
#include "scheduler/planner.hpp"
#include "vectors/vectors.hpp"

namespace quor::frame {

// The conversion messages name the target as "PyString", "PyTuple", "Sequence" and "Vec":
// callers match on these texts, so they stay as they are.

// Qualified name of the object's type, as used in conversion messages.
std::string type_name(PyObject* o);
// TypeError "'{type name}' object cannot be converted to '{target}'".
bool fail_conversion(PyObject* o, const char* target);

// str -> its UTF-8 bytes, read in place for the length of the call.
struct Text {
  using type = std::string_view;
  static bool convert(PyObject* o, type& out) {
    if (!PyUnicode_CheckExact(o) && !PyUnicode_Check(o)) return fail_conversion(o, "PyString");
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(o, &n);
    if (p == nullptr) return false;
    out = std::string_view(p, static_cast<size_t>(n));
    return true;
  }
};

struct Count {
  using type = uint64_t;
  static bool convert(PyObject* o, type& out) {
    py::Ref index;
    if (!PyLong_Check(o)) {
      index = py::Ref(PyNumber_Index(o));
      if (!index) return false;
      o = index.get();
    }
    out = PyLong_AsUnsignedLongLong(o);
    return !(out == static_cast<uint64_t>(-1) && PyErr_Occurred());
  }
};

struct Byte {
  using type = uint8_t;
  static bool convert(PyObject* o, type& out) {
    long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || v > 255) {
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
      return false;
    }
    out = static_cast<uint8_t>(v);
    return true;
  }
};

// A 2-tuple of str -> both as UTF-8 views, item 0 converted first.
struct TextPair {
  using type = std::pair<std::string_view, std::string_view>;
  // The two items by `Read`, item 0 converted first.
  template <class T, bool (*Read)(PyObject*, T&)>
  static bool convert_items(PyObject* o, std::pair<T, T>& out) {
    if (!PyTuple_CheckExact(o) && !PyTuple_Check(o)) return fail_conversion(o, "PyTuple");
    Py_ssize_t n = PyTuple_Size(o);
    if (n != 2) {
      if (n < 0) return false;
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
      return false;
    }
    return Read(PyTuple_GetItem(o, 0), out.first) && Read(PyTuple_GetItem(o, 1), out.second);
  }
  static bool convert(PyObject* o, type& out) {
    return convert_items<std::string_view, &Text::convert>(o, out);
  }
};

namespace detail {

// The reported length only pre-sizes storage; a wrong, failing or absurd length must
// neither fail the call nor exhaust memory.
template <class V>
void reserve_hint(PyObject* o, V& out) {
  Py_ssize_t hint = PySequence_Size(o);
  if (hint < 0) {
    PyErr_Clear();
    return;
  }
  constexpr Py_ssize_t kMaxHint = Py_ssize_t{1} << 20;
  try {
    out.reserve(static_cast<size_t>(hint < kMaxHint ? hint : kMaxHint));
  } catch (const std::bad_alloc&) {
  }
}

// The common checks of every sequence kind; false with an exception pending.
inline bool check_sequence(PyObject* o) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(o)) return fail_conversion(o, "Sequence");
  return true;
}

// The items of an exact list or tuple, by index.
struct ExactItems {
  ExactItems(PyObject* o, bool list)
      : o(o),
        size_of(list ? PyList_Size : PyTuple_Size),
        item_of(list ? PyList_GetItem : PyTuple_GetItem) {}
  Py_ssize_t size() const { return size_of(o); }
  PyObject* get(Py_ssize_t i) const { return item_of(o, i); }

  PyObject* o;
  Py_ssize_t (*size_of)(PyObject*);
  PyObject* (*item_of)(PyObject*, Py_ssize_t);
};

// Calls `each(item)` for the items of an exact list or tuple from index `first` on, stopping
// at the first false. A list is re-measured at every step, as its own iterator does, so a
// converter that mutates it sees the same items.
template <class Each>
bool for_each_indexed_item(PyObject* o, Py_ssize_t first, Each&& each) {
  if (PyList_CheckExact(o)) {
    for (Py_ssize_t i = first; i < PyList_Size(o); ++i) {
      py::Ref item(Py_NewRef(PyList_GetItem(o, i)));
      if (!each(item.get())) return false;
    }
    return true;
  }
  Py_ssize_t n = PyTuple_Size(o);
  for (Py_ssize_t i = first; i < n; ++i) {
    if (!each(PyTuple_GetItem(o, i))) return false;
  }
  return true;
}

// Calls `each(item)` for every item, stopping at the first false.
template <class Each>
bool for_each_item(PyObject* o, Each&& each) {
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) return for_each_indexed_item(o, 0, each);
  py::Ref it(PyObject_GetIter(o));
  if (!it) return false;
  while (py::Ref item{PyIter_Next(it.get())}) {
    if (!each(item.get())) return false;
  }
  return !PyErr_Occurred();
}

// As for_each_item, with `touch(item)` called on the item kAhead places ahead of the one
// being read, once the item 2 * kAhead ahead has been prefetched: `touch` prefetches the
// parts the reader will look at, so that the misses on scattered objects overlap. Only
// exact lists and tuples are walked ahead, and only long ones (a short one's objects are
// likely cached already); every item is still fetched afresh when read.
template <class Touch, class Each>
bool for_each_item_ahead(PyObject* o, Touch&& touch, Each&& each) {
  if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) return for_each_item(o, each);
  const ExactItems items(o, PyList_CheckExact(o));
  constexpr Py_ssize_t kAhead = 8, kLong = 4096;
  if (items.size() < kLong) return for_each_item(o, each);
  Py_ssize_t i = 0;
  return for_each_item(o, [&](PyObject* item) {
    const Py_ssize_t n = items.size();
    if (i + 2 * kAhead < n) platform::prefetch(items.get(i + 2 * kAhead));
    if (i + kAhead < n) touch(items.get(i + kAhead));
    ++i;
    return each(item);
  });
}

// Prefetch hints for the objects the readers below look at. A str's header and its first
// bytes (inline in a compact ASCII str) span two lines at most.
inline void touch_str(PyObject* s) {
  platform::prefetch(s);
  platform::prefetch(reinterpret_cast<const char*>(s) + 64);
}
inline void touch_pair(PyObject* t) {
  if (!PyTuple_CheckExact(t) || PyTuple_Size(t) != 2) return;
  touch_str(PyTuple_GetItem(t, 0));
  touch_str(PyTuple_GetItem(t, 1));
}

// A buffer held until the call ends, or nothing. A refused request (a released view, say)
// is no error here: the item-by-item path then reports what iteration reports.
class PinnedBuffer {
 public:
  PinnedBuffer() = default;
  PinnedBuffer(const PinnedBuffer&) = delete;
  PinnedBuffer& operator=(const PinnedBuffer&) = delete;
  ~PinnedBuffer() {
    if (pinned_) PyBuffer_Release(&view_);
  }
  // Keeps the buffer when `accept(view)` holds.
  template <class Accept>
  bool pin(PyObject* o, Accept&& accept) {
    if (PyObject_GetBuffer(o, &view_, PyBUF_FORMAT | PyBUF_STRIDES) < 0) {
      PyErr_Clear();
      return false;
    }
    if (!accept(view_)) {
      PyBuffer_Release(&view_);
      return false;
    }
    pinned_ = true;
    return true;
  }
  bool pinned() const { return pinned_; }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool pinned_ = false;
};

}  // namespace detail

template <class Item>
struct SequenceOf {
  using type = std::vector<typename Item::type>;
  static bool convert(PyObject* o, type& out) {
    if (!detail::check_sequence(o)) return false;
    detail::reserve_hint(o, out);
    return detail::for_each_item(
        o, [&](PyObject* item) { return Item::convert(item, out.emplace_back()); });
  }
};

// The bytes of a blob. Exact bytes, bytearray and one-dimensional unsigned-byte memoryviews
// are read in place through the buffer protocol, which also pins a bytearray's size until
// the call ends; this yields exactly what iterating them would. Anything else is collected
// item by item.
class ByteBuffer {
 public:
  operator std::span<const uint8_t>() const {
    if (buffer_.pinned()) {
      const Py_buffer& v = buffer_.view();
      return {static_cast<const uint8_t*>(v.buf), static_cast<size_t>(v.len)};
    }
    return {owned_.data(), owned_.size()};
  }

  bool pin(PyObject* o) {
    if (!PyBytes_CheckExact(o) && !PyByteArray_CheckExact(o) &&
        !Py_IS_TYPE(o, &PyMemoryView_Type)) {
      return false;
    }
    return buffer_.pin(o, [](const Py_buffer& v) {
      return v.ndim == 1 && v.itemsize == 1 &&
             (v.format == nullptr || std::strcmp(v.format, "B") == 0) &&
             (v.strides == nullptr || v.strides[0] == 1);
    });
  }
  std::vector<uint8_t>& owned() { return owned_; }

 private:
  detail::PinnedBuffer buffer_;
  std::vector<uint8_t> owned_;
};

template <>
struct SequenceOf<Byte> {
  using type = ByteBuffer;
  static bool convert(PyObject* o, type& out) {
    if (out.pin(o)) return true;
    if (!detail::check_sequence(o)) return false;
    std::vector<uint8_t>& bytes = out.owned();
    detail::reserve_hint(o, bytes);
    return detail::for_each_item(
        o, [&](PyObject* item) { return Byte::convert(item, bytes.emplace_back()); });
  }
};

// Strong references that a converted value holds so that views into the interpreter's
// buffers stay valid until the call ends, whatever Python code runs meanwhile.
class KeepAlive {
 public:
  KeepAlive() = default;
  KeepAlive(const KeepAlive&) = delete;
  KeepAlive& operator=(const KeepAlive&) = delete;
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

// Text pairs read in place: each tuple is kept alive, and with it its two strs.
using TextPairViews = Views<TextPair::type>;

// A str as a name: its text read in place, and its address as its identity token. The
// object is kept alive for the call, so no other object can take that address meanwhile.
inline bool read_name(PyObject* o, scheduler::Name& out) {
  if (!Text::convert(o, out.text)) return false;
  out.token = reinterpret_cast<uintptr_t>(o);
  return true;
}
inline bool read_name_pair(PyObject* o, scheduler::Edge& out) {
  return TextPair::convert_items<scheduler::Name, &read_name>(o, out);
}

// Names read in place: a result may hand a str itself back.
using NameViews = Views<scheduler::Name>;

// Items read in place, each kept alive beside its view for the length of the call. `Touch`
// prefetches what `Read` will look at in an item.
template <class T, bool (*Read)(PyObject*, T&), void (*Touch)(PyObject*)>
struct InPlaceSequence {
  using type = Views<T>;
  static bool convert(PyObject* o, type& out) {
    if (!detail::check_sequence(o)) return false;
    detail::reserve_hint(o, out);
    return detail::for_each_item_ahead(o, Touch, [&](PyObject* item) {
      T view;
      if (!Read(item, view)) return false;
      out.add(item, view);
      return true;
    });
  }
};

struct NameView {};
template <>
struct SequenceOf<NameView> : InPlaceSequence<scheduler::Name, &read_name, &detail::touch_str> {};

struct NamePairView {};
template <>
struct SequenceOf<NamePairView>
    : InPlaceSequence<scheduler::Edge, &read_name_pair, &detail::touch_pair> {};

struct TextPairView {};
template <>
struct SequenceOf<TextPairView>
    : InPlaceSequence<TextPair::type, &TextPair::convert, &detail::touch_pair> {};

namespace detail {

// A native-order buffer of C floats or doubles, as the buffer protocol describes it.
enum class FloatFormat { None, Float, Double };

// A memoryview iterates only the '@' prefix; numpy arrays iterate any native-order one.
inline FloatFormat float_format(const Py_buffer& view, bool any_native_prefix) {
  const char* f = view.format ? view.format : "B";
  if (*f == '@' || (any_native_prefix &&
                    (*f == '=' || (std::endian::native == std::endian::little && *f == '<'))))
    ++f;
  if (f[0] == 'f' && f[1] == '\0' && view.itemsize == 4) return FloatFormat::Float;
  if (f[0] == 'd' && f[1] == '\0' && view.itemsize == 8) return FloatFormat::Double;
  return FloatFormat::None;
}

// Exact numpy arrays, array.array and memoryview: the types whose items, iterated, are
// exactly the floats their buffer holds. Subclasses may override iteration.
bool is_float_buffer_type(PyObject* o);

// A pinned view of a float buffer with `ndim` dimensions, or false (no exception) when
// the object must take the item-by-item path.
class FloatBuffer {
 public:
  bool pin(PyObject* o, int ndim) {
    if (!is_float_buffer_type(o)) return false;
    return buffer_.pin(o, [&](const Py_buffer& v) {
      format_ = v.ndim == ndim ? float_format(v, !PyMemoryView_Check(o)) : FloatFormat::None;
      return format_ != FloatFormat::None;
    });
  }
  const Py_buffer& view() const { return buffer_.view(); }
  FloatFormat format() const { return format_; }
  Py_ssize_t stride(int dim) const {
    const Py_buffer& v = buffer_.view();
    if (v.strides) return v.strides[dim];
    return (dim == 0 && v.ndim == 2 ? v.shape[1] : 1) * v.itemsize;
  }
  // C order without gaps, so the items can be read as one array.
  bool row_major() const {
    const Py_buffer& v = buffer_.view();
    Py_ssize_t expected = v.itemsize;
    for (int d = v.ndim - 1; d >= 0; --d) {
      if (v.shape[d] > 1 && stride(d) != expected) return false;
      expected *= v.shape[d];
    }
    return true;
  }
  // Item j of row i (ndim 2) or item j (ndim 1, i = 0), as the item rule would read it.
  template <class T>
  T at(Py_ssize_t i, Py_ssize_t j) const {
    const Py_buffer& v = buffer_.view();
    const char* p = static_cast<const char*>(v.buf) + j * stride(v.ndim - 1);
    if (v.ndim == 2) p += i * stride(0);
    if (format_ == FloatFormat::Float) {
      float f;
      std::memcpy(&f, p, sizeof f);
      return static_cast<T>(f);
    }
    double d;
    std::memcpy(&d, p, sizeof d);
    return static_cast<T>(d);
  }

 private:
  PinnedBuffer buffer_;
  FloatFormat format_ = FloatFormat::None;
};

// An allocator whose resize leaves new numbers uninitialised: the converters write every
// one of them, and zero-filling a million first costs as much as reading them.
template <class T>
struct NoInit : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = NoInit<U>;
  };
  NoInit() = default;
  template <class U>
  NoInit(const NoInit<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... A>
  void construct(U* p, A&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(args)...);
  }
};

template <class T>
using Numbers = std::vector<T, NoInit<T>>;

// The Real rule for one item; false with an exception pending.
inline bool read_real(PyObject* item, double& out) {
  out = PyFloat_AsDouble(item);
  return !(out == -1.0 && PyErr_Occurred());
}

// Calls `each(i, value)` for the items [0, n) while they are exact floats; returns where it
// stopped. Reading an exact float runs no Python code, so the items cannot change
// meanwhile: they are fetched a few ahead and their objects prefetched, so that the
// misses on scattered floats overlap.
template <class Each>
Py_ssize_t read_exact_floats(const ExactItems& items, Py_ssize_t n, Each&& each) {
  constexpr Py_ssize_t kAhead = 8;
  PyObject* ring[kAhead];
  for (Py_ssize_t i = 0; i < n && i < kAhead; ++i) {
    ring[i] = items.get(i);
    platform::prefetch(ring[i]);
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject*& slot = ring[i % kAhead];
    PyObject* item = slot;
    if (!PyFloat_CheckExact(item)) return i;
    if (i + kAhead < n) {
      slot = items.get(i + kAhead);
      platform::prefetch(slot);
    }
    each(i, PyFloat_AsDouble(item));
  }
  return n;
}

// Appends the items of `o` by the Real rule, narrowed to T. Exact floats in exact lists
// and tuples, and float buffers, are read directly; they give what the rule gives.
template <class T>
bool append_reals(PyObject* o, Numbers<T>& out) {
  {
    FloatBuffer buffer;
    if (buffer.pin(o, 1)) {
      const Py_ssize_t n = buffer.view().shape[0];
      size_t base = out.size();
      out.resize(base + static_cast<size_t>(n));
      T* dst = out.data() + base;
      constexpr FloatFormat same = sizeof(T) == 4 ? FloatFormat::Float : FloatFormat::Double;
      if (n == 0) {
        // nothing to copy (and an empty vector has no storage to copy into)
      } else if (buffer.format() == same && buffer.row_major()) {
        std::memcpy(dst, buffer.view().buf, static_cast<size_t>(n) * sizeof(T));
      } else if (buffer.format() == FloatFormat::Double && buffer.row_major()) {
        const double* src = static_cast<const double*>(buffer.view().buf);
        for (Py_ssize_t j = 0; j < n; ++j) dst[j] = static_cast<T>(src[j]);
      } else {
        for (Py_ssize_t j = 0; j < n; ++j) dst[j] = buffer.at<T>(0, j);
      }
      return true;
    }
  }
  if (!check_sequence(o)) return false;
  // The Real rule: the item's float value (its __float__ or __index__ if it is no float).
  auto each = [&](PyObject* item) {
    double d;
    if (!read_real(item, d)) return false;
    out.push_back(static_cast<T>(d));
    return true;
  };
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    const ExactItems items{o, PyList_CheckExact(o) != 0};
    Py_ssize_t n = items.size();
    size_t base = out.size();
    out.resize(base + static_cast<size_t>(n));
    T* dst = out.data() + base;
    Py_ssize_t i =
        read_exact_floats(items, n, [&](Py_ssize_t j, double d) { dst[j] = static_cast<T>(d); });
    out.resize(base + static_cast<size_t>(i));
    return for_each_indexed_item(o, i, each);
  }
  reserve_hint(o, out);
  return for_each_item(o, each);
}

// Adds the items of `o`, by the Real rule, to `total` in order as they are read: the same
// items, calls and errors as append_reals, without storing the values first.
inline bool total_reals(PyObject* o, cost::Total& total) {
  {
    FloatBuffer buffer;
    if (buffer.pin(o, 1)) {
      const Py_ssize_t n = buffer.view().shape[0];
      if (buffer.format() == FloatFormat::Double && buffer.row_major()) {
        total.add({static_cast<const double*>(buffer.view().buf), static_cast<size_t>(n)});
      } else {
        for (Py_ssize_t j = 0; j < n; ++j) total.add(buffer.at<double>(0, j));
      }
      return true;
    }
  }
  if (!check_sequence(o)) return false;
  auto each = [&](PyObject* item) {
    double d;
    if (!read_real(item, d)) return false;
    total.add(d);
    return true;
  };
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    const ExactItems items{o, PyList_CheckExact(o) != 0};
    // A total of its own, whose address no call can see, stays in a register: the one
    // addition is then the loop's only dependency.
    cost::Total head = total;
    Py_ssize_t i =
        read_exact_floats(items, items.size(), [&head](Py_ssize_t, double d) { head.add(d); });
    total = head;
    return for_each_indexed_item(o, i, each);
  }
  // Asked as append_reals asks it, though nothing is stored: __len__ may be observable.
  if (PySequence_Size(o) < 0) PyErr_Clear();
  return for_each_item(o, each);
}

}  // namespace detail

// A sequence of reals as one array: T is double (the Real rule) or float (Single real: the
// double narrowed with round-to-nearest).
template <class T>
struct RealSequence {
  using type = detail::Numbers<T>;
  static bool convert(PyObject* o, type& out) { return detail::append_reals(o, out); }
};

// A sequence of reals, totalled left to right as it is read.
struct RealTotal {
  using type = cost::Total;
  static bool convert(PyObject* o, type& out) { return detail::total_reals(o, out); }
};

// The rows of a matrix of single reals, flattened.
class FlatMatrix {
 public:
  operator vectors::Matrix() const {
    std::span<const size_t> offsets(offsets_.data(), offsets_.size());
    if (pinned_wide_) return {{}, offsets, pinned_doubles_};
    if (pinned_) return {pinned_values_, offsets};
    return {{values_.data(), values_.size()}, offsets};
  }
  detail::Numbers<float>& values() { return values_; }
  std::vector<size_t>& offsets() { return offsets_; }
  detail::FloatBuffer& buffer() { return buffer_; }
  // The rows are the pinned buffer itself, read in place.
  void use_pinned(std::span<const float> values) {
    pinned_ = true;
    pinned_values_ = values;
  }
  // The rows are the pinned buffer's doubles, narrowed as the operation reads them.
  void use_pinned(std::span<const double> values) {
    pinned_wide_ = true;
    pinned_doubles_ = values;
  }

 private:
  detail::FloatBuffer buffer_;
  bool pinned_ = false, pinned_wide_ = false;
  std::span<const float> pinned_values_;
  std::span<const double> pinned_doubles_;
  detail::Numbers<float> values_;
  std::vector<size_t> offsets_{0};
};

struct MatrixOfSingleReals {
  using type = FlatMatrix;
  static bool convert(PyObject* o, type& out) {
    {
      // A 2-D array: its rows, iterated, are 1-D arrays of the same floats.
      detail::FloatBuffer& buffer = out.buffer();
      // (A 2-D memoryview cannot be iterated, so it takes the item path and its error.)
      if (!PyMemoryView_Check(o) && buffer.pin(o, 2)) {
        const Py_ssize_t rows = buffer.view().shape[0], cols = buffer.view().shape[1];
        out.offsets().resize(static_cast<size_t>(rows) + 1);
        for (Py_ssize_t i = 0; i <= rows; ++i) out.offsets()[i] = static_cast<size_t>(i * cols);
        if (buffer.row_major()) {
          const size_t count = static_cast<size_t>(rows * cols);
          if (buffer.format() == detail::FloatFormat::Float) {
            out.use_pinned({static_cast<const float*>(buffer.view().buf), count});
          } else {
            out.use_pinned({static_cast<const double*>(buffer.view().buf), count});
          }
          return true;
        }
        out.values().resize(static_cast<size_t>(rows * cols));
        float* dst = out.values().data();
        for (Py_ssize_t i = 0; i < rows; ++i) {
          for (Py_ssize_t j = 0; j < cols; ++j) *dst++ = buffer.at<float>(i, j);
        }
        return true;
      }
    }
    if (!detail::check_sequence(o)) return false;
    detail::reserve_hint(o, out.offsets());
    return detail::for_each_item(o, [&](PyObject* row) {
      if (!detail::append_reals(row, out.values())) return false;
      out.offsets().push_back(out.values().size());
      if (out.offsets().size() == 2) {
        // Rows usually share the first one's length: size the array once.
        size_t expected = out.offsets().capacity() * out.values().size();
        if (expected <= (size_t{1} << 28)) out.values().reserve(expected);
      }
      return true;
    });
  }
};

}  // namespace quor::frame
