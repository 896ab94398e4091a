// Hosts: the addresses behind a client's host names, and which one its next connection or call
// takes; and _Hosts, the same for zelk.aio.
#include "client/hosts.hpp"

#include <algorithm>

namespace client {

using zk::Handle;
using zk::Ref;

namespace {

// A name is resolved again this often at most, unless every address it gave has failed.
constexpr auto resolve_every = std::chrono::seconds(30);
// An address that failed is skipped for a second, then twice as long each time it fails again.
constexpr auto first_backoff = std::chrono::seconds(1);
constexpr auto longest_backoff = std::chrono::seconds(30);

std::string utf8(Handle text) {
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) zk::throw_error();
    return std::string(data, static_cast<std::size_t>(size));
}

// "[::1]" is how an IPv6 address is written beside a port; getaddrinfo takes it bare.
Ref bare(Handle name) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(name.get());
    if (length > 2 && PyUnicode_READ_CHAR(name.get(), 0) == '[' && PyUnicode_READ_CHAR(name.get(), length - 1) == ']') {
        return zk::check(PyUnicode_Substring(name, 1, length - 1));
    }
    return Ref::borrow(name);
}

}  // namespace

Balance balance_of(const Names& n, Handle balance) {
    if (PyUnicode_Check(balance.get())) {
        if (zk::equal(balance, n.first)) return Balance::first;
        if (zk::equal(balance, n.round_robin)) return Balance::round_robin;
    }
    zk::raise(zk::call(PyExc_ValueError, zk::text("balance must be \"first\" or \"round_robin\", not {}", zk::repr(balance))));
}

Ref host_names(Handle host) {
    if (PyUnicode_CheckExact(host.get())) return zk::tuple_of({bare(host)});
    if (!PyList_CheckExact(host.get())) {
        zk::raise(PyExc_TypeError, "Argument 'host' has incorrect type (expected str or list[str], got %.200s)",
                  Py_TYPE(host.get())->tp_name);
    }
    Ref names = zk::check(PySequence_Tuple(host));  // one state of a list another thread may change
    if (PyTuple_GET_SIZE(names.get()) == 0) zk::raise(PyExc_ValueError, "host: the list names no host");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); i++) {
        PyObject* name = PyTuple_GET_ITEM(names.get(), i);
        if (!PyUnicode_CheckExact(name)) zk::raise(PyExc_TypeError, "host: every item must be a str, not %.200s", Py_TYPE(name)->tp_name);
        if (PyUnicode_GET_LENGTH(name) == 0) zk::raise(PyExc_ValueError, "host: the list holds an empty name");
        Ref stripped = bare(name);
        PyTuple_SET_ITEM(names.get(), i, stripped.release());  // the tuple is ours alone yet
        Py_DECREF(name);
    }
    return names;
}

std::vector<Address> addresses_from(const std::vector<Ref>& names, const std::vector<Ref>& results, Ref& unresolved) {
    std::vector<Address> found;
    std::vector<std::pair<Handle, Handle>> errors;
    for (std::size_t i = 0; i < results.size(); i++) {
        if (PyExceptionInstance_Check(results[i].get())) {
            errors.emplace_back(names[i], results[i]);
            continue;
        }
        for (Ref info : zk::iterate(results[i])) {
            Ref sockaddr = zk::getitem(info, zk::integer(4));
            Ref host = zk::to_str(zk::getitem(sockaddr, zk::integer(0)));
            Ref port = zk::getitem(sockaddr, zk::integer(1));
            bool v6 = PyUnicode_FindChar(host.get(), ':', 0, PyUnicode_GET_LENGTH(host.get()), 1) >= 0;
            std::string key = utf8(zk::text(v6 ? "[{}]:{}" : "{}:{}", host, port));
            if (std::any_of(found.begin(), found.end(), [&](const Address& a) { return a.key == key; })) continue;
            found.push_back({std::move(key), zk::getitem(info, zk::integer(0)), std::move(sockaddr), names[i].copy()});
        }
    }
    if (!found.empty()) return found;
    if (errors.size() == 1) {
        unresolved = Ref::borrow(errors[0].second);  // the resolver's own error, as connect would raise it
    } else {
        Ref texts = zk::new_list();
        for (auto& [name, error] : errors) zk::append(texts, zk::text("{}: {}", name, error));
        if (errors.empty()) zk::append(texts, zk::str("no address"));
        unresolved = zk::call(PyExc_OSError, zk::join(zk::str("; "), texts));
    }
    return found;
}

// Resolves the client's names into its book; why no address is known, when none is.
Ref resolve(Scope s, Hosts& hosts, Handle names, Handle port) {
    const Names& n = s.names();
    Ref sockets = s.global(n.socket);
    Ref getaddrinfo = zk::getattr(sockets, n.getaddrinfo);
    Ref stream = zk::getattr(sockets, n.SOCK_STREAM);
    std::vector<Ref> name_list, results;
    for (Ref name : zk::iterate(names)) {
        try {
            results.push_back(zk::call(getaddrinfo, name, port, zk::integer(0), stream));
        } catch (zk::PyError& e) {
            if (!e.matches(PyExc_OSError)) throw;
            results.push_back(Ref::borrow(e.value()));
        }
        name_list.push_back(std::move(name));
    }
    Ref unresolved;
    hosts.resolved(names, port, addresses_from(name_list, results, unresolved));
    return unresolved;
}

std::ptrdiff_t Hosts::find(const std::string& key) const noexcept {
    for (std::size_t i = 0; i < entries_.size(); i++) {
        if (entries_[i].address.key == key) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
}

bool Hosts::stale(Handle names, Handle port) {
    Ref known_names, known_port;
    {
        zk::Holding holding(mutex_);
        if (!resolved_at_ || entries_.empty()) return true;
        known_names = names_.copy(), known_port = port_.copy();
    }
    if (!zk::equal(known_names, names) || !zk::equal(known_port, port)) return true;
    zk::Holding holding(mutex_);
    if (std::all_of(entries_.begin(), entries_.end(), [](const Entry& e) { return e.failures > 0; })) return true;
    auto now = Clock::now();
    if (resolved_at_ && now - *resolved_at_ < resolve_every) return false;
    resolved_at_ = now;  // this thread resolves; the others go on meanwhile
    return true;
}

bool Hosts::due() {
    zk::Holding holding(mutex_);
    auto now = Clock::now();
    if (!resolved_at_ || entries_.empty() || now - *resolved_at_ < resolve_every) return false;
    resolved_at_ = now;
    return true;
}

void Hosts::resolved(Handle names, Handle port, std::vector<Address> found) {
    Ref known_names;
    {
        zk::Holding holding(mutex_);
        known_names = names_.copy();
    }
    bool same = known_names && zk::equal(known_names, names);
    std::vector<Entry> old;
    Ref old_names, old_port;
    {
        zk::Holding holding(mutex_);
        resolved_at_ = Clock::now();
        if (found.empty() && same) return;  // the resolver failed this time: what was known stays
        std::string current = entries_.empty() ? std::string() : entries_[current_ % entries_.size()].address.key;
        std::vector<Entry> entries;
        for (Address& address : found) {
            std::ptrdiff_t at = find(address.key);
            Entry entry{std::move(address)};
            if (at >= 0) entry.failures = entries_[at].failures, entry.retry_at = entries_[at].retry_at;
            entries.push_back(std::move(entry));
        }
        old = std::exchange(entries_, std::move(entries));
        std::ptrdiff_t at = find(current);
        current_ = at >= 0 ? static_cast<std::size_t>(at) : 0;
        old_names = std::exchange(names_, Ref::borrow(names));
        old_port = std::exchange(port_, Ref::borrow(port));
    }
    // `old` and the names go here, outside the lock: dropping references may run code.
}

std::vector<Address> Hosts::plan(const std::string& start) {
    std::vector<Address> plan;
    zk::Holding holding(mutex_);
    std::size_t count = entries_.size();
    if (!count) return plan;
    auto now = Clock::now();
    std::ptrdiff_t at = start.empty() ? -1 : find(start);
    std::size_t from = at >= 0 ? static_cast<std::size_t>(at) : round_robin() ? turn_++ % count : current_ % count;
    bool any_ready = std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) { return ready(e, now); });
    for (std::size_t i = 0; i < count; i++) {
        const Entry& entry = entries_[(from + i) % count];
        if (!any_ready || ready(entry, now)) plan.push_back(entry.address.copy());
    }
    return plan;
}

std::string Hosts::next() {
    if (!round_robin()) return {};
    zk::Holding holding(mutex_);
    std::size_t count = entries_.size();
    if (!count) return {};
    auto now = Clock::now();
    std::size_t from = turn_ % count, pick = from;
    for (std::size_t i = 0; i < count; i++) {
        if (ready(entries_[(from + i) % count], now)) {
            pick = (from + i) % count;
            break;
        }
    }
    turn_ = pick + 1;
    return entries_[pick].address.key;
}

std::size_t Hosts::count() {
    zk::Holding holding(mutex_);
    return entries_.size();
}

std::size_t Hosts::available() {
    zk::Holding holding(mutex_);
    auto now = Clock::now();
    return static_cast<std::size_t>(std::count_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return ready(e, now); }));
}

void Hosts::failed(const std::string& key) {
    zk::Holding holding(mutex_);
    std::ptrdiff_t at = find(key);
    if (at < 0) return;
    Entry& entry = entries_[at];
    entry.failures++;
    entry.retry_at = Clock::now() + std::min<Clock::duration>(first_backoff * (1 << std::min(entry.failures - 1, 5)), longest_backoff);
    if (!round_robin() && current_ == static_cast<std::size_t>(at)) current_ = (current_ + 1) % entries_.size();
}

void Hosts::answered(const std::string& key) {
    zk::Holding holding(mutex_);
    std::ptrdiff_t at = find(key);
    if (at < 0) return;
    entries_[at].failures = 0;
    entries_[at].retry_at = {};
    if (!round_robin()) current_ = static_cast<std::size_t>(at);
}

// ---- _Hosts, for zelk.aio ------------------------------------------------------------------

namespace {

constexpr const char* hosts_name = "zelk.client.hosts";

// A _Hosts keeps its book in a capsule, and the names and port it was made for as attributes,
// which zelk.aio resolves.
zk::Boxed<Hosts> book_of(const Names& n, Handle self) { return zk::unbox<Hosts>(zk::getattr(self, n._book), hosts_name); }

Ref hosts_init(Scope s, Handle self, Handle host, Handle port, Handle balance) {
    const Names& n = s.names();
    Ref names = host_names(host);
    auto book = std::make_unique<Hosts>();
    book->set_balance(balance_of(n, balance));
    zk::setattr(self, n._book, zk::box(std::move(book), hosts_name));
    zk::setattr(self, n.names, names);
    zk::setattr(self, n.port, port);
    return zk::none();
}

Ref hosts_stale(Scope s, Handle self) {
    const Names& n = s.names();
    return zk::boolean(book_of(n, self)->stale(zk::getattr(self, n.names), zk::getattr(self, n.port)));
}

// resolved(results): each name's getaddrinfo list, or the OSError it raised; the error to report
// when no address is known.
Ref hosts_resolved(Scope s, Handle self, Handle results) {
    const Names& n = s.names();
    Ref names = zk::getattr(self, n.names);
    std::vector<Ref> name_list, result_list;
    for (Ref name : zk::iterate(names)) name_list.push_back(std::move(name));
    for (Ref result : zk::iterate(results)) result_list.push_back(std::move(result));
    if (name_list.size() != result_list.size()) zk::raise(PyExc_ValueError, "resolved: one result per name is needed");
    Ref unresolved;
    std::vector<Address> found = addresses_from(name_list, result_list, unresolved);
    zk::Boxed<Hosts> hosts = book_of(n, self);
    hosts->resolved(names, zk::getattr(self, n.port), std::move(found));
    return hosts->count() || !unresolved ? zk::none() : std::move(unresolved);
}

// plan(start=None): (key, family, sockaddr, name) of each address to try, in turn.
Ref hosts_plan(Scope s, Handle self, Handle start) {
    std::string from = start.get() == Py_None ? std::string() : utf8(start);
    Ref plan = zk::new_list();
    for (Address& a : book_of(s.names(), self)->plan(from)) {
        zk::append(plan, zk::tuple_of({zk::str(a.key), a.family, a.sockaddr, a.name}));
    }
    return plan;
}

Ref hosts_next(Scope s, Handle self) {
    std::string key = book_of(s.names(), self)->next();
    return key.empty() ? zk::none() : zk::str(key);
}

Ref hosts_count(Scope s, Handle self) { return zk::integer(static_cast<long long>(book_of(s.names(), self)->count())); }

Ref hosts_available(Scope s, Handle self) { return zk::integer(static_cast<long long>(book_of(s.names(), self)->available())); }

template <void (Hosts::*mark)(const std::string&)>
Ref hosts_mark(Scope s, Handle self, Handle key) {
    if (key.get() != Py_None) (*book_of(s.names(), self).*mark)(utf8(key));
    return zk::none();
}

}  // namespace

void define_hosts(zk::Module& m, State&) {
    using zk::arg;
    using zk::Check;
    m.add_class(
        "_Hosts", {}, "The addresses behind a client's hosts: which failed lately, and where the next connection or call goes.",
        {
            zk::method(zk::declare<hosts_init>("__init__", {arg("self"), arg("host").annotate("str | list[str]"),
                                                            arg("port", Check::Int), arg("balance", Check::Str) = "first"})),
            zk::method(zk::declare<hosts_stale>("stale", {arg("self")})),
            zk::method(zk::declare<hosts_resolved>("resolved", {arg("self"), arg("results")})),
            zk::method(zk::declare<hosts_plan>("plan", {arg("self"), arg("start").annotate("str | None") = zk::none()})),
            zk::method(zk::declare<hosts_next>("next", {arg("self")})),
            zk::method(zk::declare<hosts_count>("__len__", {arg("self")})),
            zk::method(zk::declare<hosts_available>("available", {arg("self")})),
            zk::method(zk::declare<hosts_mark<&Hosts::failed>>("failed", {arg("self"), arg("key").annotate("str | None")})),
            zk::method(zk::declare<hosts_mark<&Hosts::answered>>("answered", {arg("self"), arg("key").annotate("str | None")})),
        });
}

}  // namespace client
