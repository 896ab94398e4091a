// terminate: stops this process's descendants and, unless told not to, the process itself.
#include "server/server.hpp"

namespace server {

using zk::Handle;
using zk::Ref;

namespace {

const char* const terminate_doc =
    "Shutdown a server(ctrl+c)\n"
    "    signal.raise_signal(signal.CTRL_C_EVENT)\n"
    "    os.kill(os.getpid(), signal.SIGINT)\n"
    "\n"
    "    Args:\n"
    "        wait (int, optional): time to wait. Defaults to 3.\n"
    "        itself (bool, optional): kill the process itself if true. Defaults to True.\n"
    "        kill (bool, optional): return the process list if not true. Defaults to True.\n"
    "    ";

Ref terminate(Scope s, Handle wait, Handle itself, Handle kill) {
    const Names& n = s.names();
    Ref iprint = s.global(n.iprint);
    Ref time, psutil;
    try {
        time = zk::import("time");
        psutil = zk::import("psutil");
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        zk::Handling handling(e);
        return zk::call(iprint, e.value());
    }
    zk::call(iprint, zk::str("Wait for cleaning ..."));
    zk::call_method(time, n.sleep, wait);
    Ref current = zk::call_method(psutil, n.Process);
    Ref children = zk::call_kw(zk::getattr(current, n.children), {}, {{n.recursive, Py_True}});
    Ref tokill = zk::check(PySequence_List(children.get()));
    if (zk::truthy(itself)) zk::append(tokill, current);
    if (!zk::truthy(kill)) return zk::call(iprint, zk::format(tokill));

    Ref no_such_process = zk::getattr(psutil, n.NoSuchProcess);
    for (Ref process : zk::iterate(tokill)) {
        try {
            zk::call_method(process, n.terminate);
        } catch (zk::PyError& e) {
            if (!e.matches(no_such_process)) throw;
            zk::print_out(s.state(), s.global(n.print), zk::tuple_of({zk::str("No such process"), zk::call_method(process, n.name)}));
        }
    }
    Ref waited = zk::call_method(psutil, n.wait_procs, tokill);
    Ref gone = zk::getitem(waited, zk::integer(0));
    Ref alive = zk::getitem(waited, zk::integer(1));
    for (Ref process : zk::iterate(alive)) zk::call_method(process, n.kill);
    return zk::tuple_of({gone, alive});
}

}  // namespace

zk::Def terminate_def() {
    using zk::arg;
    return zk::declare<terminate>("terminate", {arg("wait", zk::Check::Int) = 3, arg("itself").annotate("bool") = true,
                                                arg("kill").annotate("bool") = true})
        .doc(terminate_doc);
}

}  // namespace server
