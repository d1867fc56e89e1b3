// One RAII holder of a Py_buffer: the exporter's memory stays valid (and the exporter alive)
// for as long as the Buffer lives, so native code may read it with the interpreter lock released.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <utility>

namespace vz::bind {
namespace nb = nanobind;

class Buffer {
public:
    Buffer() = default;
    // PyObject_GetBuffer(obj, flags); an exporter that refuses raises its Python error.
    Buffer(nb::handle obj, int flags) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, flags) != 0) nb::raise_python_error();
        held_ = true;
    }
    ~Buffer() { release(); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    // Moving keeps the memory where it is: pointers into it taken before the move stay valid.
    // Exporters that fill a one-dimensional byte view (PyBuffer_FillInfo: bytes, bytearray, mmap)
    // point `shape` and `strides` at the view's own `len` and `itemsize`; those follow the move.
    Buffer(Buffer &&other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {
        repoint(other.view_);
    }
    Buffer &operator=(Buffer &&other) noexcept {
        if (this != &other) {
            release();
            view_ = other.view_;
            held_ = std::exchange(other.held_, false);
            repoint(other.view_);
        }
        return *this;
    }

    void release() {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    bool held() const { return held_; }
    void *data() const { return view_.buf; }
    std::size_t size_bytes() const { return std::size_t(view_.len); }
    std::size_t count() const { return view_.itemsize ? std::size_t(view_.len / view_.itemsize) : 0; }
    const Py_buffer &view() const { return view_; }

private:
    void repoint(const Py_buffer &from) {
        if (view_.shape == &from.len) view_.shape = &view_.len;
        if (view_.strides == &from.itemsize) view_.strides = &view_.itemsize;
    }

    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace vz::bind
