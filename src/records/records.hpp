#pragma once

#include "../plumbing/refs.hpp"

namespace csdk {

// Creates QuoteItemLikeDict2, TickLikeDict2, BarLikeDict2 and ObjectLikeDict2 and binds
// them in the module namespace, in that order.
bool bind_record_classes(PyObject* dict);

}  // namespace csdk
