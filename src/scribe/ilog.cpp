// ilog: configures a logging.Logger with a coloured console handler and, unless `when` is empty,
// a timed rotating log file.
#include "scribe/scribe.hpp"

namespace scribe {

using zk::Handle;
using zk::Ref;

namespace {

// The file handler for `logdir`/`name`.log, rotated every `when` and keeping `count` old files
// named like Server.log.2024-05-01_12-00-00.log; its lines are plain and leave out "!!!" records.
Ref file_handler(Scope s, Handle name, Handle logdir, Handle level, Handle when, Handle count) {
    const Names& n = s.names();
    Ref filename = zk::true_divide(zk::call(s.global(n.Path), logdir), zk::text("{}.log", name));
    if (!zk::truthy(zk::call_method(filename, n.exists))) {
        zk::call_kw(zk::getattr(zk::getattr(filename, n.parent), n.mkdir), {},
                    {{n.parents, Py_True}, {n.exist_ok, Py_True}});
    }
    Ref fh = zk::call_kw(zk::getattr(s.global(n.handlers), n.TimedRotatingFileHandler), {},
                         {{n.filename, filename},
                          {n.when, when},
                          {n.backupCount, count},
                          {n.encoding, n.utf_8}});
    zk::setattr(fh, n.suffix, n.rotated_suffix);
    zk::setattr(fh, n.extMatch, zk::call_method(s.global(n.re), n.compile, n.rotated_match));
    zk::call_method(fh, n.setLevel, level);
    zk::call_method(fh, n.setFormatter, zk::call(s.global(n.Formatter), n.record_format));
    zk::call_method(fh, n.addFilter, zk::call(s.global(n.Filter), n.file));
    return fh;
}

Ref ilog(Scope s, Handle name, Handle logdir, Handle level, Handle when, Handle count) {
    const Names& n = s.names();
    zk::setitem(zk::getattr(s.global(n.os), n.environ), n.LOGGER, name);
    Ref log = zk::call(s.global(n.getLogger), name);

    Ref sh = zk::call(s.global(n.stream_handler_class));
    zk::call_method(sh, n.setLevel, level);
    Ref cf = zk::call(s.global(n.ColoredFormatter), n.record_format);
    zk::call_method(sh, n.setFormatter, cf);
    zk::call_method(log, n.addHandler, sh);

    // The console handler comes first, so the file sees records already relabelled and unmarked.
    if (zk::length(when) != 0) {
        zk::call_method(log, n.addHandler, file_handler(s, name, logdir, level, when, count));
    }
    zk::call_method(log, n.setLevel, level);
    return log;
}

}  // namespace

zk::Def ilog_def(const zk::Module& m) {
    using zk::arg;
    using zk::Check;
    return zk::declare<ilog>("ilog", {
                                    arg("name", Check::Str) = "Server",
                                    arg("logdir").annotate("str | Path") = "./log",
                                    arg("level", Check::Int) = m.get("INFO"),
                                    arg("when", Check::Str) = "H",
                                    arg("count", Check::Int) = 100,
                                });
}

}  // namespace scribe
