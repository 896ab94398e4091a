// AllowedClasses: what a peer's pickles may rebuild, and ClassNotAllowed, the refusal.
//
// A pickle names every class and function it calls by module and qualified name, and
// pickle.Unpickler asks its find_class for each before anything is called: here the answer comes
// from a table of exact (module, name) pairs made once from the list, and any other pair is refused.
// What a pickle makes without naming anything (numbers, text, bytes, lists, dicts, tuples, sets) is
// the plain values its classes need, and loads as always. The list holds for a span of decoding: a
// connection's, or one unpack, so that every pickle a peer's message carries is read through it,
// however deep in the message and whichever hooks decode it.
#include "protocol/codec.hpp"
#include "protocol/protocol.hpp"

namespace protocol {

using zk::Handle;
using zk::Ref;

namespace {

const char* const allowed_classes_doc =
    "What a peer's pickles may rebuild: the classes (or functions) given, as objects or as\n"
    "\"module.QualName\" texts, and the plain values pickle needs for them. Any other class a pickle\n"
    "names is refused with ClassNotAllowed before anything of it runs.";

// The list this thread decodes a peer's message under, while it does: set by call_allowing.
struct Rebuilding {
    const State& st;
    Ref unpickler_class;  // the list's own Unpickler
    Ref refusal;          // the first ClassNotAllowed; nothing is loaded after it
    Rebuilding* outer;
};

// One thread decodes one message at a time, and the list is its own for that span: a peer's
// message on another thread has its own. Codec hooks that a user replaced still reach it.
thread_local Rebuilding* rebuilding = nullptr;

[[noreturn]] void entry_error(PyObject* type, Handle text) { zk::raise(zk::call(type, text)); }

// "package.module.Outer.Inner": the longest leading part that imports is the module, the rest is
// walked by getattr. Imports run now, at the list's making, never at a peer's asking.
struct Resolved {
    Ref module, qualname, object;
};

Resolved resolve_text(const Names& n, Handle text) {
    Ref parts = zk::call_method(text, n.split, zk::str("."));
    Py_ssize_t count = PyList_GET_SIZE(parts.get());
    for (Py_ssize_t i = 0; i < count; i++) {
        if (PyUnicode_GET_LENGTH(PyList_GET_ITEM(parts.get(), i)) == 0) count = 0;
    }
    if (count < 2) entry_error(PyExc_ValueError, zk::text("allowed_classes: {} is not a \"module.QualName\" text", zk::repr(text)));
    Ref dot = zk::str(".");
    for (Py_ssize_t cut = count - 1; cut > 0; cut--) {
        Ref module_name = zk::join(dot, zk::slice(parts, 0, cut));
        Ref module;
        try {
            module = zk::check(PyImport_Import(module_name.get()));
        } catch (zk::PyError& e) {
            // Only "no such module" for this very name means that the module is a shorter one.
            if (!e.matches(PyExc_ModuleNotFoundError)) throw;
            Ref missing = zk::getattr_optional(e.value(), n.name);
            if (missing && zk::equal(missing, module_name)) continue;
            throw;
        }
        Ref qualname = zk::join(dot, zk::slice(parts, cut, count));
        Ref object = module.copy();
        for (Py_ssize_t i = cut; i < count; i++) {
            Ref found = zk::getattr_optional(object, PyList_GET_ITEM(parts.get(), i));
            if (!found) entry_error(PyExc_ValueError, zk::text("allowed_classes: module {} has no {}", module_name, qualname));
            object = std::move(found);
        }
        return {std::move(module_name), std::move(qualname), std::move(object)};
    }
    entry_error(PyExc_ValueError, zk::text("allowed_classes: no module of {} can be imported", zk::repr(text)));
}

// (module, qualified name) of a class or function given as itself.
Ref own_pair(const zk::CoreNames& core, Handle entry) {
    Ref module = zk::getattr_optional(entry, core.__module__);
    Ref qualname = zk::getattr_optional(entry, core.__qualname__);
    if (!module || !qualname || !PyUnicode_Check(module.get()) || !PyUnicode_Check(qualname.get()) ||
        !(PyType_Check(entry.get()) || PyCallable_Check(entry.get()))) {
        entry_error(PyExc_TypeError,
                    zk::text("allowed_classes: {} is neither a class nor a \"module.QualName\" text", zk::repr(entry)));
    }
    return zk::tuple_of({module, qualname});
}

// What a list's find_class answers from: (module, name) to the object, the plain values' included.
struct Table {
    Ref classes;

    template <class F>
    void each(F&& f) {
        f(classes);
    }
};

// Unpickler.find_class of a list: the object of an exact pair in its table, one of zelk's checked
// stand-ins for numpy's helpers, or a refusal.
Ref find_class(Scope s, Handle unpickler, Handle module, Handle name) {
    const State& st = s.state();
    Ref key = zk::tuple_of({module, name});
    if (Ref found = zk::dict_get(s.captured<Table>().classes, key)) return found;
    if (Ref stand_in = zk::dict_get(st.numpy_globals, key)) return numpy_global(st, unpickler, stand_in);
    refuse(st, zk::text("{}.{} is not in allowed_classes", module, name));
}

Ref init(Scope s, Handle self, Handle classes) {
    const State& st = s.state();
    const Names& n = st.names;
    if (PyUnicode_Check(classes.get()) || PyBytes_Check(classes.get())) {
        zk::raise(PyExc_TypeError, "allowed_classes must be an iterable of classes or \"module.QualName\" texts, not %.200s",
                  Py_TYPE(classes.get())->tp_name);
    }
    Ref table = zk::check(PyDict_Copy(st.plain_globals.get()));
    Ref names = zk::check(PySet_New(nullptr));
    for (Ref entry : zk::iterate(classes)) {
        if (PyUnicode_Check(entry.get())) {
            Resolved r = resolve_text(n, entry);
            zk::setitem(table, zk::tuple_of({r.module, r.qualname}), r.object);
            // Pickles name an object by where it says it lives, which may not be where it was found.
            if (PyType_Check(r.object.get()) || PyCallable_Check(r.object.get())) {
                Ref module = zk::getattr_optional(r.object, st.core.__module__);
                Ref qualname = zk::getattr_optional(r.object, st.core.__qualname__);
                if (module && qualname && PyUnicode_Check(module.get()) && PyUnicode_Check(qualname.get())) {
                    zk::setitem(table, zk::tuple_of({module, qualname}), r.object);
                }
            }
            zk::check_status(PySet_Add(names.get(), entry.get()));
        } else {
            Ref pair = own_pair(st.core, entry);
            zk::setitem(table, pair, entry);
            zk::check_status(PySet_Add(names.get(), zk::text("{}.{}", PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1)).get()));
        }
    }
    zk::setattr(self, n.names, zk::check(PyFrozenSet_New(names.get())));
    Ref ns = zk::new_dict();
    zk::setitem(ns, st.core.__module__, zk::getattr(s.module(), st.core.__name__));
    zk::setitem(ns, st.core.__qualname__, zk::str("AllowedClasses.Unpickler"));
    zk::setitem(ns, n.find_class, s.nested("find_class", Table{std::move(table)}));
    zk::setattr(self, n._unpickler, zk::call(reinterpret_cast<PyObject*>(&PyType_Type), zk::str("Unpickler"),
                                             zk::tuple_of({st.unpickler}), ns));
    return zk::none();
}

Ref unpickler_of(const State& st, Handle allowed) {
    if (!zk::isinstance(allowed, st.allowed_classes)) {
        zk::raise(PyExc_TypeError, "expected AllowedClasses, got %.200s", Py_TYPE(allowed.get())->tp_name);
    }
    return zk::getattr(allowed, st.names._unpickler);
}

// pickle.loads(data), through a list's Unpickler; numpy's values its stand-ins began are made last.
// The bytes read are the bytes checked: anything but bytes is copied first.
Ref load_allowed(const State& st, Handle unpickler_class, Handle data) {
    Ref bytes = PyBytes_CheckExact(data.get()) ? Ref::borrow(data) : zk::check(PyBytes_FromObject(data));
    screen_pickle(st, PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
    Ref unpickler = zk::call(unpickler_class, zk::call(st.bytes_io, bytes));
    Ref value = zk::call_method(unpickler, st.names.load);
    Ref made = zk::getattr_optional(unpickler, st.names._numpy);
    unpickler = Ref();  // its memo goes with it, so what holds a stand-in now is the value alone
    if (made) return settled_numpy(st, made, std::move(value));
    return value;
}

Ref loads(Scope s, Handle self, Handle data) {
    const State& st = s.state();
    return load_allowed(st, unpickler_of(st, self), data);
}

Ref unpack(Scope s, Handle self, Handle packet) {
    const State& st = s.state();
    return call_allowing(st, self, st.byte_packer_unpack, packet);
}

Ref repr(Scope s, Handle self) {
    Ref names = zk::check(PySequence_List(zk::getattr(self, s.names().names).get()));
    zk::check_status(PyList_Sort(names.get()));
    return zk::text("AllowedClasses({})", zk::repr(names));
}

}  // namespace

void refuse(const State& st, Handle text) { zk::raise(zk::call(st.class_not_allowed, text)); }

Ref call_allowing(const State& st, Handle allowed, Handle function, Handle arg) {
    Rebuilding scope{st, unpickler_of(st, allowed), Ref(), rebuilding};
    rebuilding = &scope;
    Ref value = zk::finally([&] { return zk::call(function, arg); }, [&] { rebuilding = scope.outer; });
    if (scope.refusal) {
        // The whole message was read, with None for what was refused: a server answers its call by it.
        zk::setattr(scope.refusal, st.names.value, value);
        zk::raise(scope.refusal);
    }
    return value;
}

namespace codec {

Ref load_serialized(Handle data, const Hooks& hooks) {
    Rebuilding* scope = rebuilding;
    if (!scope) return zk::call(hooks.uload, data);
    if (scope->refusal) return zk::none();
    try {
        return load_allowed(scope->st, scope->unpickler_class, data);
    } catch (zk::PyError& e) {
        if (!e.matches(scope->st.class_not_allowed)) throw;
        scope->refusal = Ref::borrow(e.value());
        return zk::none();
    }
}

}  // namespace codec

void define_allowed_classes(zk::Module& m, State& st) {
    using zk::arg;
    const Names& n = st.names;
    st.unpickler = zk::getattr(m.get("pickle"), n.Unpickler);
    st.unpickling_error = zk::getattr(m.get("pickle"), zk::str("UnpicklingError"));
    st.bytes_io = zk::getattr(zk::import("io"), n.BytesIO);
    st.byte_packer_unpack = zk::getattr(st.byte_packer, n.unpack);
    st.class_not_allowed = m.add_class(
        "ClassNotAllowed", {st.unpickling_error},
        "A peer's pickle named a class that allowed_classes does not hold; nothing of it ran. Raised at the\n"
        "end of a message's decoding, `value` is the message with None in place of what was refused.",
        {zk::attribute("value", zk::none())});
    // Complex numbers, and the sets and bytearrays of older protocols, are made by naming these.
    Ref builtins = m.get("builtins");
    st.plain_globals = zk::new_dict();
    for (Handle name : {n.complex.get(), n.set.get(), n.frozenset.get()}) {
        zk::setitem(st.plain_globals, zk::tuple_of({n.builtins_, name}), zk::getattr(builtins, name));
    }
    define_numpy_stand_ins(m, st);
    zk::Def init_def = zk::declare<init>("__init__", {arg("self"), arg("classes").annotate("Iterable[type | str]")})
                           .nested(zk::declare<find_class>("find_class", {arg("self"), arg("module"), arg("name")}));
    st.allowed_classes = m.add_class(
        "AllowedClasses", {}, allowed_classes_doc,
        {
            zk::method(std::move(init_def)),
            zk::method(zk::declare<loads>("loads", {arg("self"), arg("data").annotate("bytes")})
                           .doc("pickle.loads(data), refusing every class the list does not hold.")),
            zk::method(zk::declare<unpack>("unpack", {arg("self"), arg("packet").annotate("bytearray | bytes")})
                           .doc("BytePacker.unpack(packet) with the list in force for every pickle in it.")),
            zk::method(zk::declare<repr>("__repr__", {arg("self")})),
        });
}

}  // namespace protocol
