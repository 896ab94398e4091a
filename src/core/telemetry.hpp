// Whether a call is to be traced: OpenTelemetry is zelk's only when the application has set a
// tracer or meter provider, and is never imported by zelk itself.
#pragma once

#include "core/state.hpp"

namespace zk {

// zelk._telemetry, which makes a call's spans and records its duration, when the application has
// set an OpenTelemetry tracer or meter provider; empty otherwise. Without OpenTelemetry loaded this
// costs one lookup in sys.modules, and with it two lookups more.
Ref telemetry(const CoreNames& n);

}  // namespace zk
