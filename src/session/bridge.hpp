// The event callback bridge: the one C callback the SDK is given, and the handler it calls.
#pragma once

#include "../plumbing/refs.hpp"

namespace csdk {

// The C callback registered with the SDK: hands each event to the module global f.
void callback_wrapper(const char* name, const char* data, int len);

// Binds the module global f to the handler (false with an error set).
bool bind_handler(PyObject* handler);

}  // namespace csdk
