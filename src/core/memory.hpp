// Large buffers that are written once, page by page, as they are filled.
#pragma once

#include "core/ref.hpp"

namespace zk {

// Asks for huge pages under `data`, which spares most of the page faults of a first write: only a
// hint, as numpy gives for its large arrays, and a refusal changes nothing. Small buffers are left
// alone. The whole pages around the buffer are advised, so that its mapping stays one piece that
// realloc could move.
void advise_huge_pages(char* data, Py_ssize_t size) noexcept;

// A new bytes object holding a copy of `size` bytes at `data`, on huge pages when it is large.
Ref bytes_copy(const char* data, Py_ssize_t size);

}  // namespace zk
