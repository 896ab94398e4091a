// print_out: a line on sys.stdout, held while it is written.
#include "core/print.hpp"

namespace zk {

void print_out(const ModuleState& st, Handle print, Handle args, Handle kwds) {
    const CoreNames& n = st.core;
    if (kwds && contains(kwds, n.file)) {
        call_with(print, args, kwds);
        return;
    }
    Ref sys = Ref::steal(PyImport_GetModule(n.sys.get()));  // sys.modules["sys"], without the import machinery
    if (!sys) sys = check(PyImport_Import(n.sys.get()));
    Ref stream = getattr(sys, n.stdout);
    if (stream.get() == Py_None) return;
    Ref options = kwds ? check(PyDict_Copy(kwds)) : new_dict();
    setitem(options, n.file, stream);
    try {
        call_with(print, args, options);
    } catch (PyError& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_OSError)) throw;
    }
}

}  // namespace zk
