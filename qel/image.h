// The image buffer of one frame read: zero bytes that the SDK writes in place, copied out as bytes.
#pragma once

#include "ref.h"

namespace qel {

class ImageBuffer {
public:
    // bytearray(size): ValueError for a negative size, MemoryError when it cannot be had.
    bool make(PyObject *size) {
        buffer_.reset(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyByteArray_Type), size));
        return static_cast<bool>(buffer_);
    }
    // Never null: an empty bytearray still has a valid, NUL-terminated storage.
    unsigned char *data() const { return reinterpret_cast<unsigned char *>(PyByteArray_AS_STRING(buffer_.get())); }
    // bytes(buffer): the whole buffer, whatever the SDK wrote.
    PyObject *to_bytes() const { return PyBytes_FromObject(buffer_.get()); }

private:
    Ref buffer_;
};

}  // namespace qel
