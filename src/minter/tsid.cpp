// TSID, the generator whose IDs are the local date and time to the microsecond plus a worker id.
#include "minter/minter.hpp"

namespace minter {

using zk::Handle;
using zk::Ref;

namespace {

Ref init(zk::Fn fn, Handle self, Handle wid) {
    zk::setattr(self, names::_TSID__wid, wid);
    zk::setattr(self, names::_TSID__lastts, names::empty);
    zk::setattr(self, names::_TSID__lock, zk::call_method(fn.global(names::threading), names::Lock));
    return zk::none();
}

Ref repr(zk::Fn, Handle) { return Ref::borrow(names::id_generator); }

// datetime.now().strftime("%y%m%d%H%M%S%f"). Read from the clock directly unless the module's
// `datetime` has been replaced (a test freezing time, say), which is then asked as written.
Ref ts(zk::Fn fn, Handle) {
    Ref datetime = fn.global(names::datetime);
    if (datetime.get() == fn.captured(0)) return local_time_text();
    return zk::call_method(zk::call_method(datetime, names::now), names::strftime, names::time_format);
}

// The next ID: waits, lock held, for the microsecond text to change, so no two IDs of one
// generator share a time.
Ref getid(zk::Fn, Handle self) {
    return with_lock(zk::getattr(self, names::_TSID__lock), [&] {
        Ref text = zk::call_method(self, names::_TSID__ts);
        Ref last = zk::getattr(self, names::_TSID__lastts);
        while (compare(last, text, Py_EQ)) {
            allow_interrupt();
            text = zk::call_method(self, names::_TSID__ts);
        }
        zk::setattr(self, names::_TSID__lastts, text);
        return add(to_int(text), zk::getattr(self, names::_TSID__wid));
    });
}

}  // namespace

void define_tsid(zk::Module& m, Handle datetime_class) {
    using zk::arg;
    using zk::Check;
    m.add_class("TSID", {}, nullptr,
                {
                    zk::method(zk::fn<init>("__init__", {arg("self"), arg("wid", Check::Int)})),
                    zk::method(zk::fn<repr>("__repr__", {arg("self")})),
                    private_method(zk::fn<ts>("__ts", {arg("self")}).capture({datetime_class}), "_TSID__ts"),
                    zk::method(zk::fn<getid>("getid", {arg("self")})),
                });
}

}  // namespace minter
