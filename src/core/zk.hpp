// The runtime layer in one include. Module code uses:
//   Ref / Handle          owning and borrowed references (ref.hpp)
//   PyError, raise, Handling, boundary   exceptions as C++ exceptions (error.hpp)
//   getattr, call, call_kw, concat, iterate, ...   object operations that throw (ops.hpp)
//   ZK_NAMES              interned names, one list per module (names.hpp)
//   fn<F>, arg, kwargs    declarative signatures (signature.hpp)
//   Fn                    what a native function sees: globals, captured objects (function.hpp)
//   method, classmethod, property, attribute   class bodies (klass.hpp)
//   Module, ZK_MODULE     the module's exec step (module.hpp)
#pragma once

#include "core/module.hpp"
#include "core/names.hpp"
