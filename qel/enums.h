// The integer enumerations that name the SDK's constants.
#pragma once

#include "ref.h"

namespace qel {

// Creates the eight enumerations in order, each bound right after it is made.
bool add_enumerations(PyObject *dict);

}  // namespace qel
