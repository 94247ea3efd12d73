// Owned references.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qel {

// Holds one strong reference and releases it when it goes out of scope, so that every path out of a
// function drops what the function made.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject *owned) noexcept : p_(owned) {}  // takes over a new reference
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) {
            PyObject *old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref borrow(PyObject *borrowed) {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    PyObject *get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject *release() {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(PyObject *owned = nullptr) {
        PyObject *old = p_;
        p_ = owned;
        Py_XDECREF(old);
    }

private:
    PyObject *p_ = nullptr;
};

inline PyObject *none() { Py_RETURN_NONE; }

// A new tuple of `items`, new references that it takes over (and drops if it cannot be made);
// nullptr if any of them is nullptr, with the error that made it so.
template <typename... Items>
PyObject *tuple_of(Items... items) {
    PyObject *item[] = {items...};
    bool complete = true;
    for (PyObject *p : item) complete = complete && p;
    PyObject *tuple = complete ? PyTuple_New(sizeof...(items)) : nullptr;
    if (!tuple) {
        for (PyObject *p : item) Py_XDECREF(p);
        return nullptr;
    }
    for (size_t i = 0; i < sizeof...(items); ++i) PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), item[i]);
    return tuple;
}

// Static type objects name their first fields and fill the rest before PyType_Ready.
#if defined(__GNUC__) || defined(__clang__)
#define QEL_STATIC_TYPE(var, name, size)                                 \
    _Pragma("GCC diagnostic push")                                       \
    _Pragma("GCC diagnostic ignored \"-Wmissing-field-initializers\"") \
    PyTypeObject var = {PyVarObject_HEAD_INIT(nullptr, 0) name, size};   \
    _Pragma("GCC diagnostic pop")
#else
#define QEL_STATIC_TYPE(var, name, size) PyTypeObject var = {PyVarObject_HEAD_INIT(nullptr, 0) name, size};
#endif

}  // namespace qel
