// Large buffers on huge pages: the advice for them, and bytes copied into such a buffer.
#include "core/memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "core/error.hpp"

namespace zk {

namespace {
// Below this, the page faults cost less than the advice.
constexpr Py_ssize_t huge_pages_from = Py_ssize_t(1) << 22;
}  // namespace

void advise_huge_pages([[maybe_unused]] char* data, [[maybe_unused]] Py_ssize_t size) noexcept {
#ifdef MADV_HUGEPAGE
    if (size < huge_pages_from) return;
    const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(data) & ~(page - 1);
    std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + static_cast<std::uintptr_t>(size) + page - 1) & ~(page - 1);
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

Ref bytes_copy(const char* data, Py_ssize_t size) {
    if (size < huge_pages_from) return check(PyBytes_FromStringAndSize(data, size));
    Ref bytes = check(PyBytes_FromStringAndSize(nullptr, size));
    advise_huge_pages(PyBytes_AS_STRING(bytes.get()), size);
    std::memcpy(PyBytes_AS_STRING(bytes.get()), data, static_cast<std::size_t>(size));
    return bytes;
}

}  // namespace zk
