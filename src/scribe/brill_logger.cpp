// BrillLogger: a logger below the one ilog configured last (named in the environment variable
// "LOGGER"), setting up a console-only logger of its own when there is none.
#include "scribe/scribe.hpp"

namespace scribe {

using zk::Handle;
using zk::Ref;

namespace {

Ref init(Scope s, Handle self, Handle child, Handle parent) {
    const Names& n = s.names();
    zk::call_method(s.super(self), n.__init__);

    Ref environ = zk::getattr(s.global(n.os), n.environ);
    Ref prefix;
    try {
        prefix = zk::getitem(environ, n.LOGGER);
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_KeyError)) throw;
        zk::Handling handling(e);
        prefix = Ref::borrow(parent);
        zk::setitem(environ, n.LOGGER, parent);
        zk::call_kw(s.global(n.ilog), {}, {{n.name, parent}, {n.when, n.empty_text}});
    }
    Ref name = zk::length(child) != 0 ? zk::text("{}.{}", prefix, child) : std::move(prefix);
    zk::setattr(self, n.log, zk::call(s.global(n.getLogger), name));
    return zk::none();
}

// self.log.<level>(message, *args, **kwds): arguments reach logging unchanged.
template <Level L>
Ref forward(Scope s, Handle self, Handle message, Handle args, Handle kwds) {
    const Names& n = s.names();
    Ref method = zk::getattr(zk::getattr(self, n.log), level_name(n, L));
    Ref all_args = zk::check(PySequence_Concat(zk::tuple_of({message}).get(), args.get()));
    zk::call_with(method, all_args, kwds);
    return zk::none();
}

}  // namespace

void define_brill_logger(zk::Module& m) {
    using zk::arg;
    using zk::Check;
    std::vector<zk::Member> members = {
        zk::method(zk::declare<init>("__init__", {arg("self"), arg("child", Check::Str), arg("parent", Check::Str) = "ZELK"})
                       .returns("None")),
    };
    add_level_members(members, []<Level L>() {
        return zk::method(zk::declare<forward<L>>(level_method_name(L),
                                                  {arg("self"), arg("message"), zk::varargs("args"), zk::kwargs("kwds")}));
    });
    m.add_class("BrillLogger", {}, nullptr, members);
}

}  // namespace scribe
