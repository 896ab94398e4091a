// zelk.scribe: coloured console printing, call formatting, the package's printer and a coloured
// set-up of the standard logging module.
#include "scribe/scribe.hpp"

namespace {

void exec_scribe(zk::Module& m, scribe::State& st) {
    m.import("os");
    m.import("re");
    m.import("sys");
    m.import("traceback");
    m.from_import("datetime", {"datetime"});
    m.from_import("functools", {"cached_property", "partial"});
    m.from_import("logging", {"INFO", "Filter", "Formatter", "LogRecord", "StreamHandler", "getLogger"});
    m.from_import("logging", {"handlers"});
    m.from_import("pathlib", {"Path"});
    scribe::find_package_frames(m, st);
    // What the package's own printers leave out of their reports: this package's frames, and those
    // of the two packages built with it.
    m.set("_OWN_PACKAGES", zk::tuple_of({zk::str("zelk"), zk::str("vantor"), zk::str("melix")}));
    m.set("PREFIX", zk::str("\x1b[1;"));
    m.set("SUFFIX", zk::str("\x1b[0m"));
    m.set("STYLE", scribe::make_style());
    m.def(scribe::iprint_def());
    m.def(scribe::abbreviate_def());
    m.def(scribe::iformat_def());
    m.def(scribe::set_log_level_def());
    scribe::define_brill_print(m);
    scribe::define_colored_formatter(m, st);
    scribe::define_stream_handler(m, st);
    scribe::define_filter(m);
    m.def(scribe::ilog_def(m));
    scribe::define_brill_logger(m);
    m.set("__test__", zk::new_dict());
}

}  // namespace

ZK_MODULE(scribe, scribe::State, exec_scribe,
          "Coloured console printing, call formatting, the package's printer and a coloured logging set-up.",
          Py_MOD_PER_INTERPRETER_GIL_SUPPORTED)
