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
struct Kept {
    Ref value;

    template <class F>
    void each(F&& f) {
        f(value);
    }
};

// (pid, ppid) of the serving process, as they were when the object was registered.
Ref answer_getpid(Scope s, Handle) { return s.captured<Kept>().value.copy(); }

// The handler threads write the server's dicts while a caller's answer is encoded: the answer is a
// copy, each dict taken whole under its own lock, so its pairs belong together and it cannot change
// size under the encoder.
Ref copy_of(Handle dict) { return zk::check(PyDict_Copy(dict)); }

Ref answer_client(Scope s, Handle) { return copy_of(s.captured<Kept>().value); }

// statistics: address -> record -> call name -> {"count": n}, every level copied.
Ref answer_stats(Scope s, Handle) {
    Ref statistics = copy_of(s.captured<Kept>().value);
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
    install(n.stats, [&] { return s.nested("stats", Kept{zk::getattr(self, n.statistics)}); });
    install(n.client, [&] { return s.nested("client", Kept{zk::getattr(self, n.client)}); });
    install(n.ping, [&] { return s.nested("ping"); });
    install(n.getpid, [&] {
        Ref os = s.global(n.os);
        return s.nested("getpid", Kept{zk::tuple_of({zk::call_method(os, n.getpid), zk::call_method(os, n.getppid)})});
    });
    install(n.terminate, [&] { return s.nested("terminate"); });
    if (zk::truthy(shadowed)) {
        zk::setattr(self, n._shadowed, shadowed);
        if (zk::getattr_optional(self, n.log)) report_shadowed(s, self);  // a server registering after start
    }
    return zk::none();
}

}  // namespace

CallName split_call_name(const Names& n, Handle fname, const NamePolicy& policy) {
    Ref dot = n.dot.copy();
    Ref parts = zk::check(PySequence_Tuple(zk::call_method(fname, n.split, dot).get()));
    Py_ssize_t count = PyTuple_GET_SIZE(parts.get());
    bool hidden = false;
    for (Py_ssize_t i = 1; i < count && policy.private_hidden && !hidden; i++) {
        Handle part = PyTuple_GET_ITEM(parts.get(), i);
        hidden = !PyUnicode_Check(part.get()) || PyUnicode_Tailmatch(part, n.underscore.get(), 0, 1, -1) == 1;
    }
    if (!hidden && policy.exposed && count > 1) {
        Ref attribute = zk::join(dot, zk::slice(parts, 1, count));
        hidden = !zk::contains(policy.exposed, attribute);
    }
    return {std::move(parts), hidden};
}

// The request record checked and its call name resolved against the registry: one part names the
// served object itself (None when not registered), more parts an attribute of it, each of the one
// before. A name that cannot be resolved whole, or that the server's policy hides, becomes the
// text '"x.y" has no attribute "z"' (of unresolved_type), which the handler raises.
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
    if (PyTuple_GET_SIZE(items.get()) != 5) zk::raise_unpack_count(5, PyTuple_GET_SIZE(items.get()));
    Handle fname = PyTuple_GET_ITEM(items.get(), 2);
    CallName name = split ? CallName{split->parts.copy(), split->hidden} : split_call_name(n, fname, name_policy(n, server_base));
    Handle parts = name.parts.get();
    Py_ssize_t count = PyTuple_GET_SIZE(parts.get());
    Ref registry = zk::getattr(server_base, n._server);
    Handle first = PyTuple_GET_ITEM(parts.get(), 0);
    Ref function = PyDict_CheckExact(registry.get()) ? zk::dict_get(registry, first) : zk::call_method(registry, n.get, first);
    if (!function) function = zk::none();
    // The part that could not be found: none when the whole name resolved.
    Py_ssize_t missing = name.hidden ? count - 1 : 0;
    for (Py_ssize_t i = 1; i < count && !missing; i++) {
        try {
            function = zk::getattr(function, PyTuple_GET_ITEM(parts.get(), i));
        } catch (zk::PyError& e) {
            if (!e.matches(PyExc_AttributeError)) throw;
            missing = i;
        }
    }
    if (missing) {
        Ref owner = zk::join(n.dot, zk::slice(parts, 0, missing));
        function = zk::call(st.unresolved_type, zk::text("\"{}\" has no attribute \"{}\"", owner, PyTuple_GET_ITEM(parts.get(), missing)));
    }
    return {Ref::borrow(PyTuple_GET_ITEM(items.get(), 1)), std::move(function),
            Ref::borrow(PyTuple_GET_ITEM(items.get(), 3)), Ref::borrow(PyTuple_GET_ITEM(items.get(), 4))};
}

void warn(const Names& n, Handle server, Handle text) { zk::call_method(zk::getattr(server, n.log), n.warning, text); }

void report_shadowed(Scope s, Handle server) {
    const Names& n = s.names();
    Ref shadowed = zk::getattr_optional(server, n._shadowed);
    if (!shadowed || !zk::truthy(shadowed)) return;
    Ref text = zk::text("The served object has its own {}: the service methods of those names are not installed",
                        zk::join(zk::str(", "), shadowed));
    warn(n, server, text);
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
                       .nested(zk::declare<answer_getpid>("getpid", {arg("self")}))
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
    st.unresolved_type = zk::make_class(m.object(), "UnresolvedName", {reinterpret_cast<PyObject*>(&PyUnicode_Type)},
                                        "The text _parse gives in place of a callable for a name that cannot be resolved.", {});
    return cls;
}

}  // namespace server
