#include "records.hpp"

namespace csdk {

bool bind_record_classes(PyObject*) { return true; }

}  // namespace csdk
