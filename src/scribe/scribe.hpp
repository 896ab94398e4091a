// The parts of zelk.scribe, one file each; module.cpp binds them in the module's order.
#pragma once

#include "core/zk.hpp"

namespace scribe {

// STYLE: the colour, mode, level-label and traceback-marker tables.
zk::Ref make_style();

// iprint, abbreviate and iformat.
zk::Def iprint_def();
zk::Def abbreviate_def();
zk::Def iformat_def();

// class BrillPrint
void define_brill_print(zk::Module& m);

// The logging set-up: classes ColoredFormatter, _StreamHandler and Filter, the function ilog,
// class BrillLogger.
void define_colored_formatter(zk::Module& m);
void define_stream_handler(zk::Module& m);
void define_filter(zk::Module& m);
zk::Def ilog_def(const zk::Module& m);  // level defaults to the module's INFO
void define_brill_logger(zk::Module& m);

}  // namespace scribe
