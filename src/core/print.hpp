// Printing onto standard output from any thread.
#pragma once

#include "core/state.hpp"

namespace zk {

// print(*args, **kwds) through `print` (the builtin, or whatever a module's globals name so), onto
// the stream sys.stdout is now unless `kwds` names a file. The stream is held for the whole line:
// CPython 3.13's print holds sys.stdout borrowed across a write that lets other threads run, and a
// thread that swaps it meanwhile (redirect_stdout, a test runner's capture) would free it under the
// printer. Without a stream nothing is printed; a stream closed under the printing thread ends the
// line quietly, not the thread.
void print_out(const ModuleState& st, Handle print, Handle args, Handle kwds = nullptr);

}  // namespace zk
