// The parts of zelk.minter, one file each; module.cpp binds them in the module's order.
#pragma once

#include "core/zk.hpp"

namespace minter {

#define MINTER_NAMES(X, S)                  \
    X(datetime)                             \
    X(EPOCH)                                \
    X(fromtimestamp)                        \
    X(getid)                                \
    X(IDPS)                                 \
    X(Lock)                                 \
    X(now)                                  \
    X(randint)                              \
    X(SFID)                                 \
    X(strftime)                             \
    X(threading)                            \
    X(time)                                 \
    X(timestamp)                            \
    X(TSID)                                 \
    X(_SFID__dcid)                          \
    X(_SFID__last_timestamp)                \
    X(_SFID__lock)                          \
    X(_SFID__sequence)                      \
    X(_SFID__ts)                            \
    X(_SFID__wid)                           \
    X(_TSID__lastts)                        \
    X(_TSID__lock)                          \
    X(_TSID__ts)                            \
    X(_TSID__wid)                           \
    S(empty_text, "")                       \
    S(id_generator, "id generator")         \
    S(id_time_format, "%y%m%d%H%M%S%f")     \
    S(ts, "ts")                             \
    S(two_digits, "02d")

ZK_NAMES(Names, MINTER_NAMES)

struct State : zk::ModuleState {
    Names names;
    zk::Ref datetime_class;  // the datetime the module imported: TSID reads the clock itself while it is still bound

    template <class F>
    void each(F&& f) {
        ModuleState::each(f);
        f(names);
        f(datetime_class);
    }
};

using Scope = zk::Scope<State>;

// A method defined as `__name` in a class body: the function keeps its own name, the class stores
// it under the mangled one (`_SFID__ts`).
inline zk::Member private_method(zk::Def decl, const char* stored_name) {
    zk::Member member = zk::method(std::move(decl));
    member.name = stored_name;
    return member;
}

// Lets a signal handler (Ctrl-C) end a wait on the clock, as it could between bytecodes.
inline void allow_interrupt() { zk::check_status(PyErr_CheckSignals()); }

// Every id field is five bits wide: 32 data centres of 32 workers each.
constexpr long id_field_top = 31;

// Raises ValueError naming `name` and its range unless 0 <= value <= top; `value` is an exact int.
void check_id_field(zk::Handle value, const char* name, long top = id_field_top);

// datetime.now().strftime("%y%m%d%H%M%S%f"), read from the clock without making a datetime.
zk::Ref local_time_text();

// The readable form of an SFID value: yymmddHHMMSS, data centre, worker (02d), sequence, milliseconds.
zk::Ref readable_form(Scope s, zk::Handle timestamp, zk::Handle dcid, zk::Handle wid, zk::Handle sequence);

// class SFID, strfid, class TSID, generator
void define_sfid(zk::Module& m);
zk::Def strfid_def();
void define_tsid(zk::Module& m);
zk::Def generator_def(zk::Handle default_dcid);

}  // namespace minter
