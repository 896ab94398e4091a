// zelk.minter: unique integer IDs from snowflake-style and time-text generators.
#include "minter/minter.hpp"

namespace minter {

using zk::Handle;
using zk::Ref;

namespace {

const char* const generator_doc =
    "\n"
    "    Generates an ID object using the provided worker ID and optional data center ID.\n"
    "    Args:\n"
    "        wid (int): The worker ID.\n"
    "        dcid (int, optional): The data center ID. Defaults to 0.\n"
    "    Returns:\n"
    "        ID: An instance of the ID generator class initialized with the given IDs.\n"
    "    ";

// The bound getid of a new generator: a TSID for gtype "ts", an SFID otherwise.
Ref generator(Scope s, Handle wid, Handle dcid, Handle gtype) {
    const Names& n = s.names();
    Ref instance = zk::equal(gtype, n.ts) ? zk::call(s.global(n.TSID), wid) : zk::call(s.global(n.SFID), wid, dcid);
    return zk::getattr(instance, n.getid);
}

}  // namespace

zk::Def generator_def(Handle default_dcid) {
    using zk::arg;
    using zk::Check;
    return zk::declare<generator>("generator", {arg("wid", Check::Int) = 0,
                                                arg("dcid", Check::Int) = Ref::borrow(default_dcid),
                                                arg("gtype", Check::Str) = "sf"})
        .doc(generator_doc);
}

}  // namespace minter

namespace {

void exec_minter(zk::Module& m, minter::State& st) {
    zk::Ref random = m.import("random");
    m.import("threading");
    m.import("time");
    m.from_import("datetime", {"datetime"});
    zk::Ref datetime = m.get("datetime");
    st.datetime_class = datetime.copy();
    // 2024-04-01 00:00:00 local time, in whole seconds.
    zk::Ref start = zk::call(datetime, zk::integer(2024), zk::integer(4), zk::integer(1), zk::integer(0), zk::integer(0),
                         zk::integer(0), zk::integer(0));
    m.set("EPOCH", zk::to_int(zk::call(zk::getattr(datetime, st.names.timestamp), start)));
    m.set("IDPS", zk::integer(9));
    minter::define_sfid(m);
    m.def(minter::strfid_def());
    minter::define_tsid(m);
    m.def(minter::generator_def(zk::call_method(random, st.names.randint, zk::integer(0), zk::integer(9))));
}

}  // namespace

ZK_MODULE(minter, minter::State, exec_minter, "Unique integer IDs: snowflake-style and time-text generators.",
          Py_MOD_PER_INTERPRETER_GIL_SUPPORTED)
