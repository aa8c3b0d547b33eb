#pragma once

#include "../plumbing/refs.hpp"

namespace csdk {

// Creates the function object of every SDK wrapper and binds it in the module
// namespace, in table order, decorating the adapted ones.
bool bind_wrappers(PyObject* dict);

}  // namespace csdk
