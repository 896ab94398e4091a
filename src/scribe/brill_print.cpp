// BrillPrint: the printer through which the package reports, one coloured line per call.
#include "scribe/names.hpp"
#include "scribe/scribe.hpp"

namespace scribe {

using zk::Handle;
using zk::Ref;

namespace {

Ref init(zk::Fn, Handle self, Handle title, Handle exclude, Handle timestamp) {
    zk::setattr(self, names::title, title);
    zk::setattr(self, names::exclude, exclude);
    zk::setattr(self, names::timestamp, timestamp);
    return zk::none();
}

// partial(iprint, title=..., exclude=..., timestamp=...), from the attributes as they are now.
Ref log(zk::Fn fn, Handle self) {
    return zk::call_kw(fn.global(names::partial), {fn.global(names::iprint)},
                       {{names::title, zk::getattr(self, names::title)},
                        {names::exclude, zk::getattr(self, names::exclude)},
                        {names::timestamp, zk::getattr(self, names::timestamp)}});
}

// self.log(message, <fixed keywords>, **kwds); a keyword given twice is refused.
Ref print_at_level(Handle self, Handle message, std::initializer_list<zk::Kw> fixed, Handle kwds) {
    Ref keywords = zk::new_dict();
    for (const zk::Kw& k : fixed) zk::setitem(keywords, k.name, k.value);
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwds, &pos, &key, &value)) {  // kwds is this call's own dict
        if (zk::contains(keywords, key)) {
            zk::raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "function", key);
        }
        zk::setitem(keywords, key, value);
    }
    return zk::call_with(zk::getattr(self, names::log), zk::tuple_of({message}), keywords);
}

Ref debug(zk::Fn, Handle self, Handle message, Handle kwds) {
    return print_at_level(self, message, {{names::foreground, names::cyan}}, kwds);
}

Ref info(zk::Fn, Handle self, Handle message, Handle kwds) {
    return print_at_level(self, message, {{names::mode, names::bold}, {names::foreground, names::white}}, kwds);
}

Ref warning(zk::Fn, Handle self, Handle message, Handle kwds) {
    return print_at_level(self, message, {{names::foreground, names::yellow}}, kwds);
}

Ref error(zk::Fn, Handle self, Handle message, Handle kwds) {
    return print_at_level(self, message, {{names::foreground, names::purple}}, kwds);
}

Ref critical(zk::Fn, Handle self, Handle message, Handle kwds) {
    return print_at_level(self, message, {{names::foreground, names::red}}, kwds);
}

}  // namespace

void define_brill_print(zk::Module& m) {
    using zk::arg;
    using zk::Check;
    m.add_class(
        "BrillPrint", {}, nullptr,
        {
            zk::method(zk::fn<init>("__init__", {arg("self"), arg("title", Check::Str) = "ZELK",
                                                 arg("exclude", Check::List).annotate("list[str]") =
                                                     zk::list_of({zk::str("zelk")}),
                                                 arg("timestamp").annotate("bool") = false})
                           .returns("None")),
            zk::property(zk::fn<log>("log", {arg("self")})),
            zk::method(zk::fn<debug>("debug", {arg("self"), arg("message"), zk::kwargs("kwds")})),
            zk::method(zk::fn<info>("info", {arg("self"), arg("message"), zk::kwargs("kwds")})),
            zk::method(zk::fn<warning>("warning", {arg("self"), arg("message"), zk::kwargs("kwds")})),
            zk::method(zk::fn<error>("error", {arg("self"), arg("message"), zk::kwargs("kwds")})),
            zk::method(zk::fn<critical>("critical", {arg("self"), arg("message"), zk::kwargs("kwds")})),
        });
}

}  // namespace scribe
