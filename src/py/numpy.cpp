#define MORVANE_NUMPY_IMPORT
#include "py/numpy.hpp"

namespace morvane::py {

bool import_numpy() {
    if (PyArray_API) return true;
    return _import_array() >= 0;
}

}  // namespace morvane::py
