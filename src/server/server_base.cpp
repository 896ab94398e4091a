// ServerBase: the registry of the served object, the five service methods installed on it, and
// the resolution of a request record's call name.
#include "server/server.hpp"

namespace server {

using zk::Handle;
using zk::Ref;

namespace {

Ref init(Scope s, Handle self, Handle obj, Handle alias) {
    const Names& n = s.names();
    zk::setattr(self, n._alias, alias);
    zk::setattr(self, n._server, zk::new_dict());
    zk::setattr(self, n._timeout, zk::integer(86400));
    zk::setattr(self, n.statistics, zk::new_dict());
    Ref client = zk::new_dict();
    zk::setitem(client, n.host, zk::str(""));
    zk::setitem(client, n.port, zk::integer(0));
    zk::setattr(self, n.client, client);
    zk::call_method(self, n.register_, obj);
    return zk::none();
}

// What a service method keeps: the server's dict it answers from, or the process ids.
struct Fixed {
    Ref value;

    template <class F>
    void each(F&& f) {
        f(value);
    }
};

Ref answer_fixed(Scope s, Handle) { return s.captured<Fixed>().value.copy(); }

// The handler threads write the server's dicts while a caller's answer is encoded: the answer is a
// copy, each dict taken whole under its own lock, so its pairs belong together and it cannot change
// size under the encoder.
Ref copy_of(Handle dict) { return zk::check(PyDict_Copy(dict)); }

Ref answer_client(Scope s, Handle) { return copy_of(s.captured<Fixed>().value); }

// statistics: address -> record -> call name -> {"count": n}, every level copied.
Ref answer_stats(Scope s, Handle) {
    Ref statistics = copy_of(s.captured<Fixed>().value);
    PyObject *address, *record;
    for (Py_ssize_t pos = 0; PyDict_Next(statistics.get(), &pos, &address, &record);) {  // our own copy
        if (!PyDict_Check(record)) continue;
        Ref calls = copy_of(record);
        PyObject *name, *entry;
        for (Py_ssize_t at = 0; PyDict_Next(calls.get(), &at, &name, &entry);) {
            if (PyDict_Check(entry)) zk::check_status(PyDict_SetItem(calls.get(), name, copy_of(entry).get()));
        }
        zk::check_status(PyDict_SetItem(statistics.get(), address, calls.get()));
    }
    return statistics;
}

Ref ping(Scope, Handle, Handle msg) { return Ref::borrow(msg); }

Ref terminate_service(Scope s, Handle, Handle wait, Handle itself, Handle kill) {
    return zk::call(s.global(s.names().terminate), wait, itself, kill);
}

// Whether `obj` has an attribute `name` of its own (or of its class), as opposed to a service
// method that a server installed on it before.
bool has_own(const State& st, Handle obj, Handle name) {
    Ref found = zk::getattr_optional(obj, name);
    if (!found) return false;
    return !(PyMethod_Check(found.get()) &&
             Py_IS_TYPE(PyMethod_GET_FUNCTION(found.get()), reinterpret_cast<PyTypeObject*>(st.function_type.get())));
}

// A service method is installed only where the object has nothing of that name: its own stats or
// client stay reachable, and stay as they are.
Ref register_object(Scope s, Handle self, Handle obj) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref alias = zk::getattr(self, n._alias);
    Ref registry = zk::getattr(self, n._server);
    if (zk::contains(registry, alias)) zk::raise(zk::call(PyExc_Exception, zk::text("{} has already been registered", alias)));
    zk::setitem(registry, alias, obj);
    Ref shadowed = zk::new_list();
    auto install = [&](Handle name, auto make) {
        if (has_own(st, obj, name)) return zk::append(shadowed, name);
        zk::setattr(obj, name, zk::call(st.method_type, make(), obj));  // obj.<name> = MethodType(function, obj)
    };
    install(n.stats, [&] { return s.nested("stats", Fixed{zk::getattr(self, n.statistics)}); });
    install(n.client, [&] { return s.nested("client", Fixed{zk::getattr(self, n.client)}); });
    install(n.ping, [&] { return s.nested("ping"); });
    install(n.getpid, [&] {
        Ref os = s.global(n.os);
        return s.nested("getpid", Fixed{zk::tuple_of({zk::call_method(os, n.getpid), zk::call_method(os, n.getppid)})});
    });
    install(n.terminate, [&] { return s.nested("terminate"); });
    if (zk::truthy(shadowed)) {
        zk::setattr(self, n._shadowed, shadowed);
        if (zk::getattr_optional(self, n.log)) report_shadowed(s, self);  // a server registering after start
    }
    return zk::none();
}

}  // namespace

CallName split_call_name(const Names& n, Handle fname) {
    if (PyUnicode_CheckExact(fname.get())) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(fname.get());
        Py_ssize_t dot = PyUnicode_FindChar(fname, '.', 0, length, 1);
        if (dot == -2) zk::throw_error();
        if (dot < 0) return {Ref::borrow(fname), Ref(), true};
        Py_ssize_t next = PyUnicode_FindChar(fname, '.', dot + 1, length, 1);
        if (next == -2) zk::throw_error();
        return {zk::check(PyUnicode_Substring(fname, 0, dot)),
                zk::check(PyUnicode_Substring(fname, dot + 1, next < 0 ? length : next)), false};
    }
    Ref parts = zk::call_method(fname, n.split, n.dot);
    bool one_part = zk::length(parts) == 1;
    return {zk::getitem(parts, zk::integer(0)), one_part ? Ref() : zk::getitem(parts, zk::integer(1)), one_part};
}

// The request record checked and its call name resolved against the registry: one part names the
// served object itself (None when not registered), two parts an attribute of it; a missing
// attribute becomes the text '"x" has no attribute "y"', which the handler raises.
ParsedRequest parse_request(Scope s, Handle server_base, Handle request, const CallName* split) {
    const State& st = s.state();
    const Names& n = st.names;
    // A record of five items whose first is REQUEST: for a tuple, its items are looked at in place.
    bool tuple = PyTuple_CheckExact(request.get());
    if ((tuple ? PyTuple_GET_SIZE(request.get()) : zk::length(request)) != 5 ||
        zk::compare(tuple ? Ref::borrow(PyTuple_GET_ITEM(request.get(), 0)) : zk::getitem(request, zk::integer(0)),
                    st.request_kind, Py_NE)) {
        zk::raise(zk::call(PyExc_Exception, zk::text("Request[{}]: Invalid Protocol", request)));
    }
    Ref items = PyTuple_CheckExact(request.get()) ? Ref::borrow(request) : zk::check(PySequence_Tuple(request));
    if (PyTuple_GET_SIZE(items.get()) != 5) {
        zk::raise(PyExc_ValueError, "not enough values to unpack (expected 5, got %zd)", PyTuple_GET_SIZE(items.get()));
    }
    Handle fname = PyTuple_GET_ITEM(items.get(), 2);
    CallName name = split ? CallName{split->first.copy(), split->second.copy(), split->one_part} : split_call_name(n, fname);
    Ref registry = zk::getattr(server_base, n._server);
    Ref function = PyDict_CheckExact(registry.get()) ? zk::dict_get(registry, name.first) : zk::call_method(registry, n.get, name.first);
    if (!function) function = zk::none();
    if (!name.one_part) {
        try {
            function = zk::getattr(function, name.second);
        } catch (zk::PyError& e) {
            if (!e.matches(PyExc_AttributeError)) throw;
            function = zk::text("\"{}\" has no attribute \"{}\"", name.first, name.second);
        }
    }
    return {Ref::borrow(PyTuple_GET_ITEM(items.get(), 1)), std::move(function),
            Ref::borrow(PyTuple_GET_ITEM(items.get(), 3)), Ref::borrow(PyTuple_GET_ITEM(items.get(), 4))};
}

void report_shadowed(Scope s, Handle server) {
    const Names& n = s.names();
    Ref shadowed = zk::getattr_optional(server, n._shadowed);
    if (!shadowed || !zk::truthy(shadowed)) return;
    Ref text = zk::text("The served object has its own {}: the service methods of those names are not installed",
                        zk::join(zk::str(", "), shadowed));
    zk::call_method(zk::getattr(server, n.log), n.warning, text);
}

namespace {

Ref parse(Scope s, Handle self, Handle request) {
    ParsedRequest parsed = parse_request(s, self, request);
    return zk::tuple_of({parsed.msgid, parsed.function, parsed.args, parsed.kwds});
}

}  // namespace

Ref define_server_base(zk::Module& m, State& st) {
    using zk::arg;
    zk::Def register_def = zk::declare<register_object>("register", {arg("self"), arg("obj")})
                       .nested(zk::declare<answer_stats>("stats", {arg("self")}))
                       .nested(zk::declare<answer_client>("client", {arg("self")}))
                       .nested(zk::declare<ping>("ping", {arg("self"), arg("msg")}))
                       .nested(zk::declare<answer_fixed>("getpid", {arg("self")}))
                       .nested(zk::declare<terminate_service>(
                           "terminate", {arg("self"), arg("wait") = 3, arg("itself") = true, arg("kill") = true}));
    Ref cls = m.add_class(
        "ServerBase", {}, nullptr,
        {
            zk::method(zk::declare<init>("__init__", {arg("self"), arg("obj").annotate("Any"), arg("alias", zk::Check::Str) = ""})),
            zk::method(std::move(register_def)),
            zk::method(zk::declare<parse>("_parse", {arg("self"), arg("request").annotate("tuple | list")})),
        });
    st.native_parse = zk::getattr(cls, st.names._parse);
    return cls;
}

}  // namespace server
