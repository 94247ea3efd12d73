// The integer enumerations that name the SDK's constants.
#pragma once

#include "ref.h"

namespace qel {

// Creates the eight enumerations in order, each bound right after it is made.
bool add_enumerations(PyObject *dict);

// `member.value`: new reference, or nullptr with the error that reading it raised. For a member of
// one of the module's enumerations, unchanged since import, read without running Python code.
PyObject *member_value(PyObject *member);

// `cls(value)`, where `cls` is what the namespace holds under an enumeration's name: new reference,
// or nullptr with the error. For one of the module's enumerations, unchanged since import, the member
// is taken from the class's own table of values.
PyObject *member_of(PyObject *cls, int value);

}  // namespace qel
