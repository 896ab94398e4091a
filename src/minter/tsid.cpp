// TSID, the generator whose IDs are the local date and time to the microsecond plus a worker id.
#include "minter/minter.hpp"

namespace minter {

using zk::Handle;
using zk::Ref;

namespace {

// The worker id has the same range as an SFID's, so that one id serves both kinds of generator.
Ref init(Scope s, Handle self, Handle wid) {
    const Names& n = s.names();
    check_id_field(wid, "wid");
    zk::setattr(self, n._TSID__wid, wid);
    zk::setattr(self, n._TSID__lastts, n.empty_text);
    zk::setattr(self, n._TSID__lock, zk::call_method(s.global(n.threading), n.Lock));
    return zk::none();
}

Ref repr(Scope s, Handle) { return s.names().id_generator.copy(); }

// datetime.now().strftime("%y%m%d%H%M%S%f"). Read from the clock directly unless the module's
// `datetime` has been replaced (a test freezing time, say), which is then asked as written.
Ref ts(Scope s, Handle) {
    const Names& n = s.names();
    Ref datetime = s.global(n.datetime);
    if (datetime.get() == s.state().datetime_class.get()) return local_time_text();
    return zk::call_method(zk::call_method(datetime, n.now), n.strftime, n.id_time_format);
}

// The next ID: waits, lock held, for the microsecond text to change, so no two IDs of one
// generator share a time.
Ref getid(Scope s, Handle self) {
    const Names& n = s.names();
    return zk::with_lock(s.state().core, zk::getattr(self, n._TSID__lock), [&] {
        Ref text = zk::call_method(self, n._TSID__ts);
        Ref last = zk::getattr(self, n._TSID__lastts);
        while (zk::equal(last, text)) {
            allow_interrupt();
            text = zk::call_method(self, n._TSID__ts);
        }
        zk::setattr(self, n._TSID__lastts, text);
        return zk::add(zk::to_int(text), zk::getattr(self, n._TSID__wid));
    });
}

}  // namespace

void define_tsid(zk::Module& m) {
    using zk::arg;
    using zk::Check;
    m.add_class("TSID", {}, nullptr,
                {
                    zk::method(zk::declare<init>("__init__", {arg("self"), arg("wid", Check::Int)})),
                    zk::method(zk::declare<repr>("__repr__", {arg("self")})),
                    private_method(zk::declare<ts>("__ts", {arg("self")}), "_TSID__ts"),
                    zk::method(zk::declare<getid>("getid", {arg("self")})),
                });
}

}  // namespace minter
