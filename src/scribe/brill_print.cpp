// BrillPrint: the printer through which the package reports, one coloured line per call.
#include "scribe/scribe.hpp"

namespace scribe {

using zk::Handle;
using zk::Ref;

namespace {

Ref init(Scope s, Handle self, Handle title, Handle exclude, Handle timestamp) {
    const Names& n = s.names();
    zk::setattr(self, n.title, title);
    zk::setattr(self, n.exclude, exclude);
    zk::setattr(self, n.timestamp, timestamp);
    return zk::none();
}

// partial(iprint, title=..., exclude=..., timestamp=...), from the attributes as they are now.
Ref log(Scope s, Handle self) {
    const Names& n = s.names();
    return zk::call_kw(s.global(n.partial), {s.global(n.iprint)},
                       {{n.title, zk::getattr(self, n.title)},
                        {n.exclude, zk::getattr(self, n.exclude)},
                        {n.timestamp, zk::getattr(self, n.timestamp)}});
}

// The keywords each level fixes: its colour, and for info the mode as well.
Ref fixed_keywords(const Names& n, Level level) {
    Ref keywords = zk::new_dict();
    if (level == Level::info) zk::setitem(keywords, n.mode, n.bold);
    const Ref* colour = &n.red;
    switch (level) {
        case Level::debug: colour = &n.cyan; break;
        case Level::info: colour = &n.white; break;
        case Level::warning: colour = &n.yellow; break;
        case Level::error: colour = &n.purple; break;
        case Level::critical: break;
    }
    zk::setitem(keywords, n.foreground, *colour);
    return keywords;
}

// self.log(message, <the level's keywords>, **kwds); a keyword the level fixes may not be given.
template <Level L>
Ref print_at(Scope s, Handle self, Handle message, Handle kwds) {
    const Names& n = s.names();
    Ref keywords = fixed_keywords(n, L);
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwds, &pos, &key, &value)) {  // kwds is this call's own dict
        if (zk::contains(keywords, key)) {
            zk::raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "function", key);
        }
        zk::setitem(keywords, key, value);
    }
    return zk::call_with(zk::getattr(self, n.log), zk::tuple_of({message}), keywords);
}

}  // namespace

void define_brill_print(zk::Module& m) {
    using zk::arg;
    using zk::Check;
    std::vector<zk::Member> members = {
        zk::method(zk::declare<init>("__init__", {arg("self"), arg("title", Check::Str) = "ZELK",
                                                  arg("exclude", Check::List).annotate("list[str]") =
                                                      zk::list_of({zk::str("zelk")}),
                                                  arg("timestamp").annotate("bool") = false})
                       .returns("None")),
        zk::property(zk::declare<log>("log", {arg("self")})),
    };
    add_level_members(members, []<Level L>() {
        return zk::method(zk::declare<print_at<L>>(level_method_name(L), {arg("self"), arg("message"), zk::kwargs("kwds")}));
    });
    m.add_class("BrillPrint", {}, nullptr, members);
}

}  // namespace scribe
