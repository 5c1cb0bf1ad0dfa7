// NumPy's C API for every file of the module; the API table is imported once,
// by the module initialisation.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL ravlin_ARRAY_API
#ifndef RAVLIN_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
