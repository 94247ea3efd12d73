// The record classes: each object holds one SDK record by value, as its only state.
#pragma once

#include <cstddef>

#include "QELCamera2.h"
#include "ref.h"

namespace qel {

template <typename R>
struct RecordObject {
    PyObject_HEAD
    R record;
};

// Every record sits at the same place behind the object header, so one accessor serves all.
constexpr size_t kRecordOffset = offsetof(RecordObject<QEL_CAMERA_INFO>, record);
static_assert(offsetof(RecordObject<QEL_CONTROL_CAPS>, record) == kRecordOffset, "record offset");
static_assert(offsetof(RecordObject<QEL_ID>, record) == kRecordOffset, "record offset");
static_assert(offsetof(RecordObject<QEL_SUPPORTED_MODE>, record) == kRecordOffset, "record offset");
static_assert(offsetof(RecordObject<QEL_GPS_DATA>, record) == kRecordOffset, "record offset");

extern PyTypeObject CameraInfoType;
extern PyTypeObject ControlCapsType;
extern PyTypeObject IdType;
extern PyTypeObject SupportedModeType;
extern PyTypeObject GpsDataType;

// Readies the record classes in order, binding each and installing its pickling hooks.
bool add_record_classes(PyObject *dict);

// A new object of the module's own record class, its record all zero.
inline PyObject *make_record(PyTypeObject *type) { return type->tp_alloc(type, 0); }

// The record inside an object of a record class (or of a subclass).
template <typename R>
R *record_of(PyObject *object) {
    return &reinterpret_cast<RecordObject<R> *>(object)->record;
}

}  // namespace qel
