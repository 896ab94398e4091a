// The parts of zelk.minter, one file each; module.cpp binds them in the module's order.
#pragma once

#include "core/zk.hpp"
#include "minter/names.hpp"

namespace minter {

// ---- Python arithmetic on ints of any size and sign, as the generators' formulas need ----------

inline zk::Ref add(zk::Handle a, zk::Handle b) { return zk::check(PyNumber_Add(a, b)); }
inline zk::Ref subtract(zk::Handle a, zk::Handle b) { return zk::check(PyNumber_Subtract(a, b)); }
inline zk::Ref multiply(zk::Handle a, zk::Handle b) { return zk::check(PyNumber_Multiply(a, b)); }
inline zk::Ref true_divide(zk::Handle a, zk::Handle b) { return zk::check(PyNumber_TrueDivide(a, b)); }
inline zk::Ref shift_left(zk::Handle a, long bits) { return zk::check(PyNumber_Lshift(a, zk::integer(bits).get())); }
inline zk::Ref shift_right(zk::Handle a, long bits) { return zk::check(PyNumber_Rshift(a, zk::integer(bits).get())); }
inline zk::Ref bit_or(zk::Handle a, zk::Handle b) { return zk::check(PyNumber_Or(a, b)); }
inline zk::Ref bit_and(zk::Handle a, zk::Handle b) { return zk::check(PyNumber_And(a, b)); }
inline zk::Ref to_int(zk::Handle o) { return zk::check(PyNumber_Long(o)); }
inline bool compare(zk::Handle a, zk::Handle b, int op) {
    return zk::check_status(PyObject_RichCompareBool(a, b, op)) != 0;
}

// Runs `body` while holding `lock` (a threading.Lock), which is released however `body` ends.
template <class Body>
zk::Ref with_lock(zk::Handle lock, Body&& body) {
    zk::call_method(lock, names::acquire);
    zk::Ref result;
    try {
        result = body();
    } catch (...) {
        zk::call_method(lock, names::release);
        throw;
    }
    zk::call_method(lock, names::release);
    return result;
}

// A method defined as `__name` in a class body: the function keeps its own name, the class stores
// it under the mangled one (`_SFID__ts`).
inline zk::Member private_method(zk::Def decl, const char* stored_name) {
    zk::Member member = zk::method(std::move(decl));
    member.name = stored_name;
    return member;
}

// Lets a signal handler (Ctrl-C) end a wait on the clock, as it could between bytecodes.
inline void allow_interrupt() { zk::check_status(PyErr_CheckSignals()); }

// datetime.now().strftime("%y%m%d%H%M%S%f"), read from the clock without making a datetime.
zk::Ref local_time_text();

// The readable form of an SFID value: yymmddHHMMSS, data centre, worker (02d), sequence, milliseconds.
zk::Ref readable_form(zk::Fn fn, zk::Handle timestamp, zk::Handle dcid, zk::Handle wid, zk::Handle sequence);

// class SFID, strfid, class TSID, generator
void define_sfid(zk::Module& m);
zk::Def strfid_def();
void define_tsid(zk::Module& m, zk::Handle datetime_class);
zk::Def generator_def(zk::Handle default_dcid);

}  // namespace minter
