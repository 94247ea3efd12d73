// What the module holds for the life of the process, and late-bound global lookups.
#pragma once

#include <cstdint>

#include "ref.h"

namespace qel {

constexpr const char kModuleName[] = "brevalo.vra_qel_python_bindings.qel";

// Interned names that the module looks up or binds. Made once, at the first import.
#define QEL_INTERNED_NAMES(X)      \
    X(handle_error_code)           \
    X(QEL_ERROR_CODE_TO_EXCEPTION) \
    X(QELError)                    \
    X(QELSuccess)                  \
    X(QELUnknownErrorCode)         \
    X(BayerPattern)                \
    X(ImgType)                     \
    X(ControlType)                 \
    X(CameraMode)                  \
    X(ExposureStatus)              \
    X(IMG_END)                     \
    X(QEL_MODE_END)                \
    X(Optional)                    \
    X(IntEnum)                     \
    X(enumerate)                   \
    X(value)                       \
    X(encode)                      \
    X(name)                        \
    X(camera_id)                   \
    X(max_height)                  \
    X(max_width)                   \
    X(supported_camera_mode)       \
    X(loader)                      \
    X(origin)                      \
    X(parent)                      \
    X(submodule_search_locations)  \
    X(__builtins__)                \
    X(__prepare__)                 \
    X(__module__)                  \
    X(__qualname__)                \
    X(__doc__)                     \
    X(__loader__)                  \
    X(__file__)                    \
    X(__package__)                 \
    X(__path__)                    \
    X(__reduce__)                  \
    X(__setstate__)

struct Names {
#define QEL_DECLARE_NAME(n) PyObject *n = nullptr;
    QEL_INTERNED_NAMES(QEL_DECLARE_NAME)
#undef QEL_DECLARE_NAME
    PyObject *module_name = nullptr;  // the full dotted name
    PyObject *utf_8 = nullptr;        // "utf-8"
    PyObject *empty = nullptr;        // ""
};

struct State {
    int64_t main_interpreter_id = -1;
    PyObject *module = nullptr;    // strong; set while an execute step has started and not failed
    PyObject *dict = nullptr;      // the module's namespace (owned by the module)
    PyObject *builtins = nullptr;  // strong
    PyObject *enumerate = nullptr; // strong
};

extern State state;
extern Names names;

// Makes the interned names; does nothing once they exist.
bool make_names();

// A global lookup remembered against the namespace stamp (watch.h).
struct GlobalCache {
    uint64_t version = 0;       // the namespace_stamp() that `value` was read under
    PyObject *value = nullptr;  // borrowed from the namespace, valid while the stamp holds
};

// New reference to the global `name`: the module namespace, then the built-ins. NameError if neither
// has it. A cached value is used only while the namespace is unchanged.
PyObject *load_global(PyObject *name, GlobalCache &cache);
PyObject *load_global(PyObject *name);

}  // namespace qel
