#include "constants.hpp"

#include "ref.hpp"

namespace qv {

Constant* Constant::head_ = nullptr;

Constant::Constant(Kind kind, const char* text, long value) noexcept
    : kind_(kind), text_(text), value_(value), next_(head_) {
  head_ = this;
}

Names::Names(std::initializer_list<const char*> names) noexcept
    : Constant(Kind::names, nullptr, 0) {
  for (const char* name : names) {
    if (count_ < kMaxNames) names_[count_++] = name;
  }
}

Map::Map(std::initializer_list<const char*> keys,
         std::initializer_list<const char*> values) noexcept
    : Constant(Kind::map, nullptr, 0) {
  for (const char* key : keys) {
    if (count_ < kMaxNames) names_[count_++] = key;
  }
  int i = 0;
  for (const char* value : values) {
    if (i < kMaxEntries) values_[i++] = value;
  }
}

PyObject* Constant::make() const noexcept {
  switch (kind_) {
    case Kind::text:
      return PyUnicode_InternFromString(text_);
    case Kind::integer:
      return PyLong_FromLong(value_);
    case Kind::names: {
      Ref tuple = Ref::steal(PyTuple_New(count_));
      if (!tuple) return nullptr;
      for (int i = 0; i < count_; ++i) {
        PyObject* name = PyUnicode_InternFromString(names_[i]);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i, name);
      }
      return tuple.release();
    }
    case Kind::map: {
      const char* const* values = static_cast<const Map*>(this)->values_;
      Ref dict = Ref::steal(PyDict_New());
      if (!dict) return nullptr;
      for (int i = 0; i < count_; ++i) {
        Ref key = Ref::steal(PyUnicode_InternFromString(names_[i]));
        Ref value = Ref::steal(PyUnicode_InternFromString(values[i]));
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
          return nullptr;
        }
      }
      return dict.release();
    }
    case Kind::builtin: {
      Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
      if (!builtins) return nullptr;
      return PyObject_GetAttrString(builtins.get(), text_);
    }
  }
  return nullptr;
}

int Constant::make_all() noexcept {
  for (Constant* c = head_; c; c = c->next_) {
    if (c->obj_) continue;
    c->obj_ = c->make();
    if (!c->obj_) return -1;
  }
  return 0;
}

}  // namespace qv
