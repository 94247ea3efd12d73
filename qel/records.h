// The record classes: each object holds one SDK record by value.
#pragma once

#include "ref.h"

namespace qel {

// Readies the record classes in order, binding each and installing its pickling hooks.
bool add_record_classes(PyObject *dict);

// The record class of that name, for record parameters; nullptr if there is none.
PyTypeObject *record_type_named(const char *name);

}  // namespace qel
