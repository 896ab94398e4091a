// The parts of zelk.scribe, one file each; module.cpp binds them in the module's order.
#pragma once

#include "core/zk.hpp"

namespace scribe {

// STYLE: the colour, mode, level-label and traceback-marker tables.
zk::Ref make_style();

// iprint, abbreviate and iformat.
zk::Spec iprint_spec();
zk::Spec abbreviate_spec();
zk::Spec iformat_spec();

// class BrillPrint
void define_brill_print(zk::Module& m);

}  // namespace scribe
