// ilog: configures a logging.Logger with a coloured console handler and, unless `when` is empty,
// a timed rotating log file.
#include "scribe/names.hpp"
#include "scribe/scribe.hpp"

namespace scribe {

using zk::Handle;
using zk::Ref;

namespace {

// The file handler for `logdir`/`name`.log, rotated every `when` and keeping `count` old files
// named like Server.log.2024-05-01_12-00-00.log; its lines are plain and leave out "!!!" records.
Ref file_handler(zk::Fn fn, Handle name, Handle logdir, Handle level, Handle when, Handle count) {
    Ref filename = zk::check(PyNumber_TrueDivide(zk::call(fn.global(names::Path), logdir).get(),
                                                 zk::concat({name, names::dot_log}).get()));
    if (!zk::truthy(zk::call_method(filename, names::exists))) {
        zk::call_kw(zk::getattr(zk::getattr(filename, names::parent), names::mkdir), {},
                    {{names::parents, Py_True}, {names::exist_ok, Py_True}});
    }
    Ref fh = zk::call_kw(zk::getattr(fn.global(names::handlers), names::TimedRotatingFileHandler), {},
                         {{names::filename, filename},
                          {names::when, when},
                          {names::backupCount, count},
                          {names::encoding, names::utf_8}});
    zk::setattr(fh, names::suffix, names::rotated_suffix);
    zk::setattr(fh, names::extMatch, zk::call_method(fn.global(names::re), names::compile, names::rotated_match));
    zk::call_method(fh, names::setLevel, level);
    zk::call_method(fh, names::setFormatter, zk::call(fn.global(names::Formatter), names::record_format));
    zk::call_method(fh, names::addFilter, zk::call(fn.global(names::Filter), names::file));
    return fh;
}

Ref ilog(zk::Fn fn, Handle name, Handle logdir, Handle level, Handle when, Handle count) {
    zk::setitem(zk::getattr(fn.global(names::os), names::environ), names::LOGGER, name);
    Ref log = zk::call(fn.global(names::getLogger), name);

    Ref sh = zk::call(fn.global(names::stream_handler_class));
    zk::call_method(sh, names::setLevel, level);
    Ref cf = zk::call(fn.global(names::ColoredFormatter), names::record_format);
    zk::call_method(sh, names::setFormatter, cf);
    zk::call_method(log, names::addHandler, sh);

    // The console handler comes first, so the file sees records already relabelled and unmarked.
    if (zk::length(when) != 0) {
        zk::call_method(log, names::addHandler, file_handler(fn, name, logdir, level, when, count));
    }
    zk::call_method(log, names::setLevel, level);
    return log;
}

}  // namespace

zk::Def ilog_def(const zk::Module& m) {
    using zk::arg;
    using zk::Check;
    return zk::fn<ilog>("ilog", {
                                    arg("name", Check::Str) = "Server",
                                    arg("logdir").annotate("str | Path") = "./log",
                                    arg("level", Check::Int) = m.get("INFO"),
                                    arg("when", Check::Str) = "H",
                                    arg("count", Check::Int) = 100,
                                });
}

}  // namespace scribe
