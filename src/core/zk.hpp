// The runtime layer in one include. Module code uses, bottom to top:
//   Ref / Handle                     owning and borrowed references (ref.hpp)
//   PyError, raise, Handling, boundary   exceptions as C++ exceptions (error.hpp)
//   getattr, call, text, equal, ...  object operations that throw (ops.hpp)
//   ZK_NAMES, ModuleState            interned names and the per-module state (names.hpp, state.hpp)
//   arg, kwargs, Signature           declarative signatures (signature.hpp)
//   declare<F>, Def, Scope           native functions (function.hpp)
//   method, classmethod, property    class bodies (klass.hpp)
//   Module, ZK_MODULE                the module's exec step (module.hpp)
//   box, unbox                       native state of plain classes' instances (boxed.hpp)
//   published_api                    a module's table of native calls, from its capsule (boxed.hpp)
//   escape_controls                  a peer's text made safe for a console or log (escape.hpp)
//   print_out                        a line on sys.stdout from any thread (print.hpp)
//   telemetry                        OpenTelemetry's part in a call, when the application set it up (telemetry.hpp)
#pragma once

#include "core/boxed.hpp"
#include "core/escape.hpp"
#include "core/module.hpp"
#include "core/print.hpp"
#include "core/telemetry.hpp"
