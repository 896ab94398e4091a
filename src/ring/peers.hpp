// What zelk.client and zelk.server take from zelk.protocol and zelk.ring when they are imported:
// the protocol's allow-list types and codec capsule, ring's module and its two capsules. Each
// module's State names them alike; a capsule of another kind fails the import, not a later call.
#pragma once

#include "core/zk.hpp"
#include "protocol/codec_api.hpp"
#include "ring/calls_api.hpp"
#include "ring/ring_api.hpp"

namespace ring {

// Imports REQUEST and RESPONSE from .protocol and Connection, MAX_MESSAGE_SIZE and get_port from
// .ring into the module, keeps in `st` what the module speaks through, and returns zelk.ring.
template <class State>
zk::Ref take_protocol_and_ring(zk::Module& m, State& st) {
    zk::Ref protocol = m.from_import(".protocol", {"REQUEST", "RESPONSE"});
    st.allowed_classes = zk::getattr(protocol, st.names.AllowedClasses);
    st.class_not_allowed = zk::getattr(protocol, st.names.ClassNotAllowed);
    st.not_rebuilt = zk::getattr(protocol, st.names.NotRebuilt);
    st.codec_capsule = zk::getattr(protocol, st.names._codec_api);
    st.codec_api = protocol::codec_api_in(st.codec_capsule);
    zk::Ref ring = m.from_import(".ring", {"Connection", "MAX_MESSAGE_SIZE", "get_port"});
    st.ring_module = ring.copy();
    st.ring_capsule = zk::getattr(ring, st.names._api);
    ring_api_in(st.ring_capsule);
    st.calls_capsule = zk::getattr(ring, st.names._calls);
    st.calls = calls_api_in(st.calls_capsule);
    return ring;
}

}  // namespace ring
