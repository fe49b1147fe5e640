// Interpreter objects made once while a module loads and kept for the process.
#pragma once

#include <Python.h>

#include <initializer_list>

namespace qv {

// A constant registers itself when the shared object is loaded (static
// initialisation); make_all() creates every registered object once, in the
// module's exec step, so that calls never build texts or numbers again.
class Constant {
 public:
  Constant(const Constant&) = delete;
  Constant& operator=(const Constant&) = delete;

  PyObject* get() const noexcept { return obj_; }
  operator PyObject*() const noexcept { return obj_; }

  // Creates all registered constants; -1 with an exception set on failure.
  // Later calls do nothing once every constant exists.
  static int make_all() noexcept;

 protected:
  enum class Kind { text, integer, names, map, builtin };
  Constant(Kind kind, const char* text, long value) noexcept;
  long number() const noexcept { return value_; }

  static constexpr int kMaxNames = 8;
  const char* names_[kMaxNames] = {};
  int count_ = 0;

 private:
  PyObject* make() const noexcept;

  Kind kind_;
  const char* text_;
  long value_;
  PyObject* obj_ = nullptr;
  Constant* next_;
  static Constant* head_;
};

// An interned `str` from UTF-8 text.
class Text : public Constant {
 public:
  explicit Text(const char* utf8) noexcept : Constant(Kind::text, utf8, 0) {}
};

// An `int`.
class Int : public Constant {
 public:
  explicit Int(long value) noexcept : Constant(Kind::integer, nullptr, value) {}
  long value() const noexcept { return number(); }
};

// A tuple of interned texts (keyword names of a call, an import's from-list).
class Names : public Constant {
 public:
  Names(std::initializer_list<const char*> names) noexcept;
};

// A dict of texts to texts, made once; callers hand out copies of it
// (PyDict_Copy) because the receiver may change what it is given.
class Map : public Constant {
 public:
  Map(std::initializer_list<const char*> keys, std::initializer_list<const char*> values) noexcept;

 private:
  friend class Constant;
  static constexpr int kMaxEntries = kMaxNames;
  const char* values_[kMaxEntries] = {};
};

// An attribute of the `builtins` module, taken once at load.
class Builtin : public Constant {
 public:
  explicit Builtin(const char* name) noexcept : Constant(Kind::builtin, name, 0) {}
};

}  // namespace qv
