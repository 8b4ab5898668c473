// An owned (strong) Python reference. Dropping it follows the release rule of
// the pending-release pool, so native records may hold these freely.
#pragma once

#include <utility>

#include "boundary/attach.hpp"
#include "boundary/python_api.hpp"

namespace pelnorix::python {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (may be null).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Takes a new reference of its own to an object (may be null), as Py_XNewRef.
  static PyRef new_ref(PyObject* object) noexcept { return PyRef(Py_XNewRef(object)); }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) reset(std::exchange(other.object_, nullptr));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { release_reference(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller (e.g. the interpreter).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset(PyObject* object = nullptr) noexcept {
    release_reference(std::exchange(object_, object));
  }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace pelnorix::python
