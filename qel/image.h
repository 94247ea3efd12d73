// The image of one frame read: a zero-filled bytes object that the SDK writes in place and that the
// call then returns as it is. One allocation, no copy, no more memory than the frame.
#pragma once

#include <climits>
#include <cstring>

#include "ref.h"

namespace qel {

class ImageBuffer {
public:
    // Checks the size as bytearray(size) does (OverflowError beyond the index range, ValueError
    // "negative count") and makes the zeroed image, MemoryError when it cannot be had. A size that
    // does not fit the SDK's 32 bits makes nothing: the call refuses it when it narrows the size,
    // before the SDK could write anything.
    bool make(PyObject *size) {
        const Py_ssize_t n = PyNumber_AsSsize_t(size, PyExc_OverflowError);
        if (n == -1 && PyErr_Occurred()) return false;
        if (n < 0) {
            PyErr_SetString(PyExc_ValueError, "negative count");
            return false;
        }
        if (n > INT_MAX) return true;
        image_.reset(PyBytes_FromStringAndSize(nullptr, n));
        if (!image_) return false;
        std::memset(PyBytes_AS_STRING(image_.get()), 0, static_cast<size_t>(n));
        return true;
    }
    // Where the SDK writes; never null once a size the SDK can take was made (even for no bytes).
    unsigned char *data() const {
        return image_ ? reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(image_.get())) : nullptr;
    }
    // The image, whatever the SDK wrote; nobody else has seen the object, so it is still immutable.
    PyObject *to_bytes() { return image_.release(); }

private:
    Ref image_;
};

}  // namespace qel
