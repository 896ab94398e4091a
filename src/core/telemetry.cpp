// The cheap question asked on every call: has the application set an OpenTelemetry provider?
#include "core/telemetry.hpp"

namespace zk {

namespace {

// Whether the module `name`, when loaded, holds something other than None as `global`: OpenTelemetry
// keeps the provider the application set there (a proxy stands in until then). A version that keeps
// it elsewhere counts as set, and zelk._telemetry's public calls decide.
bool provider_set(Handle modules, Handle name, Handle global) {
    Ref module = dict_get(modules, name);
    if (!module) return false;
    Ref provider = getattr_optional(module, global);
    return !provider || provider.get() != Py_None;
}

}  // namespace

Ref telemetry(const CoreNames& n) {
    Handle modules = PyImport_GetModuleDict();  // the interpreter's, alive while it is
    if (!provider_set(modules, n.opentelemetry_trace, n._TRACER_PROVIDER) &&
        !provider_set(modules, n.opentelemetry_metrics, n._METER_PROVIDER)) {
        return Ref();
    }
    if (Ref loaded = dict_get(modules, n.zelk_telemetry)) return loaded;
    return check(PyImport_Import(n.zelk_telemetry.get()));
}

}  // namespace zk
