// ClientBase: a client's state, the call operator that makes its proxies, the check of an answer
// and closing; nothing here touches the network but close.
#include "client/lanes.hpp"

namespace client {

using zk::Handle;
using zk::Ref;

bool raises(const Names& n, Handle errors) {
    if (zk::equal(errors, n.return_)) return false;
    if (zk::equal(errors, n.raise_)) return true;
    zk::raise(zk::call(PyExc_ValueError, zk::text("errors must be \"return\" or \"raise\", not {}", zk::repr(errors))));
}

namespace {

Ref init(Scope s, Handle self, Handle host, Handle port, Handle timeout, Handle errors, Handle max_message_size,
         Handle allowed_classes) {
    const State& st = s.state();
    const Names& n = st.names;
    raises(n, errors);
    host_names(host);  // a name, an address or a list of them
    ring::checked_message_size(max_message_size);
    Ref allowed = allowed_classes.get() == Py_None || zk::isinstance(allowed_classes, st.allowed_classes)
                      ? Ref::borrow(allowed_classes)
                      : zk::call(st.allowed_classes, allowed_classes);
    zk::call_method(s.super(self), n.__init__);
    zk::setattr(self, n._host, host);
    zk::setattr(self, n._port, port);
    zk::setattr(self, n._timeout, timeout);
    zk::setattr(self, n._lanes, make_lanes(s.state()));
    zk::setattr(self, n._msgid, zk::integer(0));
    zk::setattr(self, n._connection, Py_None);
    zk::setattr(self, n._errors, errors);
    zk::setattr(self, n._max_message_size, max_message_size);
    zk::setattr(self, n._allowed_classes, allowed);
    return zk::none();
}

Ref call_operator(Scope s, Handle self, Handle name, Handle types) {
    const Names& n = s.names();
    zk::setattr(self, n.alias, name);
    Ref proxy_class = s.global(zk::equal(types, n.class_) ? n._RemoteClass : n._RemoteMethod);
    return zk::call(proxy_class, self, name);
}

[[noreturn]] void refuse(Handle response, const char* pattern, Handle expected = nullptr) {
    Ref message = expected ? zk::text(pattern, response, expected) : zk::text(pattern, response);
    zk::raise(zk::call(PyExc_Exception, message));
}

// The id the answer must carry: that of the request the current call sent, when it is in a call
// (threads sharing the client each check their own), else the client's latest.
Ref expected_id(Scope s, Handle self) {
    if (Lane* lane = lanes_of(s.state(), self)->current(); lane && lane->sent_id) return lane->sent_id.copy();
    return zk::getattr(self, s.names()._msgid);
}

Ref parse(Scope s, Handle self, Handle response) { return checked_result(s, response, expected_id(s, self)); }

}  // namespace

Ref checked_result(Scope s, Handle response, Handle expected) {
    const Names& n = s.names();
    if (!PyTuple_Check(response.get()) && !PyList_Check(response.get())) {
        refuse(response, "Response[{}]: Invalid Response Type<tuple or list needed>");
    }
    Ref items;  // the three items, as unpacking would see them
    if (PyTuple_CheckExact(response.get())) {
        items = Ref::borrow(response);
    } else if (zk::length(response) == 3) {
        items = zk::check(PySequence_Tuple(response));
    }
    bool valid = items && PyTuple_GET_SIZE(items.get()) == 3;
    if (valid) valid = zk::equal(PyTuple_GET_ITEM(items.get(), 0), s.global(n.RESPONSE));
    if (!valid) refuse(response, "Response[{}]: Invalid Response");
    if (!zk::equal(PyTuple_GET_ITEM(items.get(), 1), expected)) {
        refuse(response, "Response[{}]: Invalid MsgID<Request[0, {}]>", expected);
    }
    return Ref::borrow(PyTuple_GET_ITEM(items.get(), 2));
}

void close_quietly(const Names& n, Handle connection) {
    if (connection.get() != Py_None) zk::suppress(PyExc_OSError, [&] { zk::call_method(connection, n.close); });
}

namespace {

// Closes `connection` unless it is closed already.
void close_connection(const Names& n, Handle connection) {
    if (!zk::truthy(zk::getattr(connection, n.closed))) close_quietly(n, connection);
}

// Closes every connection the client holds (its threads' spares too), and says so in every case.
// Closing a client twice, or from two threads at once, is quiet.
Ref close(Scope s, Handle self) {
    const Names& n = s.names();
    zk::finally(
        [&] {
            Ref lanes = zk::getattr_optional(self, n._lanes);
            std::vector<Ref> spares;
            if (lanes) {
                spares = lanes_of(s.state(), self)->all_connections();
                spares.erase(spares.begin());  // the client's own connection, closed below
            }
            for (Ref& spare : spares) {
                if (spare.get() != Py_None) close_connection(n, spare);
            }
            try {
                Ref own = zk::getattr(self, n._connection);
                if (own.get() != Py_None) close_connection(n, own);
            } catch (zk::PyError& e) {
                if (!e.matches(PyExc_AttributeError)) throw;
            }
        },
        [&] { report_closed(s, self); });
    return zk::none();
}

Ref closed_report(Scope s, Handle client) { return report_closed(s, client); }

}  // namespace

Ref report_closed(Scope s, Handle self) {
    const Names& n = s.names();
    Ref message = zk::text("Connection to ({}, {}) closed!", zk::getattr(self, n._host), zk::getattr(self, n._port));
    return zk::call_method(zk::getattr(self, n.log), n.critical, message);
}

zk::Def report_closed_def() {
    return zk::declare<closed_report>("_report_closed", {zk::arg("client")})
        .returns("str")
        .doc("Prints \"Connection to (<host>, <port>) closed!\" through the client's printer, and returns it.");
}

zk::Def checked_result_def() {
    using zk::arg;
    return zk::declare<checked_result>("_checked_result", {arg("response"), arg("expected")})
        .doc("The result an answer carries; an Exception naming what is wrong with it, when it does not answer request `expected`.");
}

Ref define_client_base(zk::Module& m, State& st) {
    using zk::arg;
    using zk::Check;
    using zk::kwonly;
    Ref cls = m.add_class(
        "ClientBase", {}, nullptr,
        {
            zk::method(zk::declare<init>("__init__", {arg("self"), arg("host").annotate("str | list[str]"),
                                                      arg("port", Check::Int), arg("timeout", Check::Float) = 1000.0,
                                                      kwonly("errors", Check::Str) = "return",
                                                      kwonly("max_message_size", Check::Int) = m.get("MAX_MESSAGE_SIZE"),
                                                      kwonly("allowed_classes").annotate("Iterable[type | str] | None") = zk::none()})),
            zk::method(zk::declare<call_operator>("__call__", {arg("self"), arg("name", Check::Str),
                                                               arg("types", Check::Str) = "class"})),
            zk::method(zk::declare<parse>("_parse", {arg("self"), arg("response").annotate("tuple | list")})
                           .doc("Parse the response.\n\n"
                                ":param response: the response from the server\n"
                                ":raises Exception: invalid response type, invalid response protocol or invalid message id\n"
                                ":return: the result from the response")),
            zk::method(zk::declare<close>("close", {arg("self")})),
            connection_property(),
            msgid_property(),
        });
    st.client_parse = zk::getattr(cls, st.names._parse);
    return cls;
}

}  // namespace client
