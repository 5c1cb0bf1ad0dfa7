// Reading "BASE" and "ASSETS" of the dataset into curves.
#pragma once

#include <Python.h>

#include "asset/assets.hpp"
#include "python_module/pyutils.hpp"

namespace ravlin::py {

ParseResult<Assets> create_assets(PyObject* dataset);

}  // namespace ravlin::py
