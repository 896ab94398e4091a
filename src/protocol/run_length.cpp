// compress and decompress: a one-dimensional array as the pair (run heads, run lengths) and back.
// Plain contiguous arrays of numbers take one native pass; everything else goes through numpy's
// diff, flatnonzero and repeat, whose results the native passes reproduce exactly.
#include "protocol/protocol.hpp"

#include <algorithm>
#include <complex>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace protocol {

using zk::Handle;
using zk::Ref;

namespace {

// An object's buffer held for a scope, or nothing when it cannot export one in the form asked:
// numpy refuses non-contiguous arrays and element types that a buffer cannot describe.
class Exported {
public:
    Exported(Handle o, int flags) {
        held_ = PyObject_GetBuffer(o, &view_, flags) == 0;
        if (held_) return;
        if (!PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
            !PyErr_ExceptionMatches(PyExc_TypeError)) {
            zk::throw_error();
        }
        PyErr_Clear();
    }
    ~Exported() {
        if (held_) PyBuffer_Release(&view_);
    }
    Exported(const Exported&) = delete;
    Exported& operator=(const Exported&) = delete;

    explicit operator bool() const noexcept { return held_; }
    const Py_buffer& operator*() const noexcept { return view_; }
    const Py_buffer* operator->() const noexcept { return &view_; }
    Py_ssize_t length() const noexcept { return view_.shape[0]; }
    // Held, of one dimension, and aligned to `alignment` bytes.
    bool plain_vector(std::size_t alignment) const noexcept {
        return held_ && view_.ndim == 1 && reinterpret_cast<std::uintptr_t>(view_.buf) % alignment == 0;
    }

private:
    Py_buffer view_;
    bool held_;
};

constexpr int readable = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
constexpr int writable = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE;

// The struct-module format of a buffer's elements without its byte-order mark; `native` tells
// whether the elements are in this machine's byte order.
std::string_view element_format(const Py_buffer& view, bool& native) {
    std::string_view format = view.format ? view.format : "B";
    native = true;
    if (!format.empty() && (format[0] == '@' || format[0] == '=')) {
        format.remove_prefix(1);
    } else if (!format.empty() && (format[0] == '<' || format[0] == '>' || format[0] == '!')) {
        native = (format[0] == '<') == (PY_LITTLE_ENDIAN != 0);
        format.remove_prefix(1);
    }
    return format;
}

// Numbers and booleans, whose bytes are all they are (no references, no padding that matters).
bool plain_number(std::string_view format) {
    return (format.size() == 1 && std::string_view("?bBhHiIlLqQefdg").find(format[0]) != std::string_view::npos) ||
           format == "Zf" || format == "Zd" || format == "Zg";
}

// Runs `body`, which touches no Python object, with this thread detached from the interpreter when
// the work is long enough for other threads to want the time.
template <class Body>
void detached(bool long_enough, Body&& body) {
    if (!long_enough) {
        body();
        return;
    }
    PyThreadState* thread = PyEval_SaveThread();
    try {
        body();
    } catch (...) {
        PyEval_RestoreThread(thread);
        throw;
    }
    PyEval_RestoreThread(thread);
}

constexpr Py_ssize_t worth_detaching = Py_ssize_t(1) << 16;

// Positions where numpy's diff of the array is non-zero, plus one, after the start 0. The bulk of
// an array worth compressing is stretches without a change: `unchanged` skips them, in blocks and
// then in the pieces of a block (it may let a stretch with a change through, never drop one), and
// only pieces with a change are looked at element by element.
template <class T, class Differs, class Unchanged>
void run_starts(const T* a, Py_ssize_t n, Differs differs, Unchanged unchanged, std::vector<Py_ssize_t>& starts) {
    constexpr Py_ssize_t block = 512, piece = 32;
    starts.push_back(0);
    for (Py_ssize_t i = 1; i < n; i += block) {
        Py_ssize_t block_end = std::min(n, i + block);
        if (unchanged(a + i - 1, block_end - i)) continue;
        for (Py_ssize_t k = i; k < block_end; k += piece) {
            Py_ssize_t piece_end = std::min(block_end, k + piece);
            if (unchanged(a + k - 1, piece_end - k)) continue;
            for (Py_ssize_t j = k; j < piece_end; j++) {
                if (differs(a[j - 1], a[j])) starts.push_back(j);
            }
        }
    }
}

// Whole numbers differ when their bits do: `count` elements from `from` are unchanged when none
// differs from the one before, which a loop that vectorizes tells by or-ing their xors. Booleans
// differ only by truth, so this may let through a stretch with no change: the look element by
// element then finds none.
struct SameBits {
    template <class T>
    bool operator()(const T* from, Py_ssize_t count) const {
        T any = 0;
        for (Py_ssize_t j = 0; j < count; j++) any |= static_cast<T>(from[j] ^ from[j + 1]);
        return any == 0;
    }
};

// numpy's diff subtracts neighbours, so floats differ when their difference is not zero: runs of
// NaN or of one infinity break at every element, and 0.0 and -0.0 share a run. Equal bits do not
// mean no change here, so stretches are tested by the same subtraction.
struct FloatDiffers {
    template <class T>
    bool operator()(T x, T y) const {
        return y - x != T(0);
    }
    template <class T>
    bool operator()(std::complex<T> x, std::complex<T> y) const {
        return y.real() - x.real() != T(0) || y.imag() - x.imag() != T(0);
    }
};

struct NoDifference {
    template <class T>
    bool operator()(const T* from, Py_ssize_t count) const {
        unsigned any = 0;
        for (Py_ssize_t j = 0; j < count; j++) any |= static_cast<unsigned>(FloatDiffers{}(from[j], from[j + 1]));
        return any == 0;
    }
};

template <class T, class Differs, class Unchanged>
bool scan_as(const Py_buffer& view, Differs differs, Unchanged unchanged, std::vector<Py_ssize_t>& starts) {
    if (view.itemsize != sizeof(T) || reinterpret_cast<std::uintptr_t>(view.buf) % alignof(T) != 0) return false;
    const T* a = static_cast<const T*>(view.buf);
    Py_ssize_t n = view.shape[0];
    detached(n >= worth_detaching, [&] { run_starts(a, n, differs, unchanged, starts); });
    return true;
}

template <class T>
bool scan_whole(const Py_buffer& view, std::vector<Py_ssize_t>& starts) {
    return scan_as<T>(view, [](T x, T y) { return x != y; }, SameBits{}, starts);
}

template <class T>
bool scan_floats(const Py_buffer& view, std::vector<Py_ssize_t>& starts) {
    return scan_as<T>(view, FloatDiffers{}, NoDifference{}, starts);
}

// The run starts of a plain array of this machine's numbers; false for anything else.
bool scan(const Py_buffer& view, std::vector<Py_ssize_t>& starts) {
    bool native;
    std::string_view format = element_format(view, native);
    if (!native) return false;
    if (format == "?") {
        return scan_as<std::uint8_t>(view, [](std::uint8_t x, std::uint8_t y) { return (x != 0) != (y != 0); },
                                     SameBits{}, starts);
    }
    if (format.size() == 1 && std::string_view("bBhHiIlLqQ").find(format[0]) != std::string_view::npos) {
        switch (view.itemsize) {
            case 1: return scan_whole<std::uint8_t>(view, starts);
            case 2: return scan_whole<std::uint16_t>(view, starts);
            case 4: return scan_whole<std::uint32_t>(view, starts);
            case 8: return scan_whole<std::uint64_t>(view, starts);
            default: return false;
        }
    }
    if (format == "f") return scan_floats<float>(view, starts);
    if (format == "d") return scan_floats<double>(view, starts);
    if (format == "Zf") return scan_floats<std::complex<float>>(view, starts);
    if (format == "Zd") return scan_floats<std::complex<double>>(view, starts);
    return false;
}

// compress of a plain contiguous array in one pass; empty when numpy has to do it.
Ref compress_native(const State& st, Handle value) {
    if (!Py_IS_TYPE(value.get(), reinterpret_cast<PyTypeObject*>(st.codec.ndarray.get()))) return Ref();
    // Held throughout, so the array keeps its size while its heads are gathered.
    Exported in(value, readable);
    std::vector<Py_ssize_t> starts;
    // An empty array is left to numpy, whose IndexError says there is no first run.
    if (!in.plain_vector(1) || in.length() == 0 || !scan(*in, starts)) return Ref();
    Py_ssize_t runs = static_cast<Py_ssize_t>(starts.size()), itemsize = in->itemsize;
    Ref values = zk::call(st.np_empty, zk::integer(runs), zk::getattr(value, st.names.dtype));
    Ref lengths = zk::call(st.np_empty, zk::integer(runs), st.np_intp);
    Exported heads(values, writable), counts(lengths, writable);
    if (!heads || !counts || heads->itemsize != itemsize || counts->itemsize != sizeof(Py_ssize_t)) return Ref();
    const char* from = static_cast<const char*>(in->buf);
    char* to = static_cast<char*>(heads->buf);
    auto* count = static_cast<Py_ssize_t*>(counts->buf);
    for (Py_ssize_t r = 0; r < runs; r++) {
        std::memcpy(to + r * itemsize, from + starts[r] * itemsize, itemsize);
        count[r] = (r + 1 < runs ? starts[r + 1] : in.length()) - starts[r];
    }
    return zk::tuple_of({values, lengths});
}

Ref compress_numpy(const State& st, Handle value) {
    Ref changes = zk::call(st.np_flatnonzero, zk::call(st.np_diff, value));
    Ref index = zk::getitem(st.np_r, zk::tuple_of({zk::integer(0), zk::add(changes, zk::integer(1))}));
    Ref heads = zk::getitem(value, index);
    Ref ends = zk::getitem(st.np_r, zk::tuple_of({index, zk::integer(zk::length(value))}));
    return zk::tuple_of({heads, zk::call(st.np_diff, ends)});
}

Ref compress(Scope s, Handle value) {
    const State& st = s.state();
    if (!PyObject_TypeCheck(value.get(), reinterpret_cast<PyTypeObject*>(st.codec.ndarray.get()))) return Ref::borrow(value);
    // numpy's diff would run along the last axis and the gather along the first: no run-length form.
    if (zk::to_ssize(zk::getattr(value, st.names.ndim)) > 1) {
        zk::raise(zk::call(PyExc_ValueError, zk::text("compress takes a one-dimensional array, not one of shape {}",
                                                       zk::getattr(value, st.names.shape))));
    }
    if (Ref pair = compress_native(st, value)) return pair;
    return compress_numpy(st, value);
}

// Long runs are written by doubling what is already written with memcpy, which the C library
// tunes to the processor it runs on; short ones, and the start of long ones, element by element.
template <class T>
void fill_runs(const T* values, const std::int64_t* lengths, Py_ssize_t runs, T* out) {
    constexpr std::int64_t seed = 32;
    for (Py_ssize_t r = 0; r < runs; r++) {
        std::int64_t n = lengths[r];
        if (n < 2 * seed) {
            out = std::fill_n(out, n, values[r]);
            continue;
        }
        if constexpr (sizeof(T) == 1) {
            std::memset(out, values[r], static_cast<std::size_t>(n));
        } else {
            std::fill_n(out, seed, values[r]);
            for (std::int64_t done = seed; done < n; done *= 2) {
                std::memcpy(out + done, out, static_cast<std::size_t>(std::min(done, n - done)) * sizeof(T));
            }
        }
        out += n;
    }
}

struct Wide {
    unsigned char bytes[16];
};

// decompress of plain contiguous arrays of equal length, with non-negative int64 lengths, in one
// pass; empty when numpy has to do it (and to raise its errors).
Ref decompress_native(const State& st, Handle values, Handle lengths) {
    auto* ndarray = reinterpret_cast<PyTypeObject*>(st.codec.ndarray.get());
    if (!Py_IS_TYPE(values.get(), ndarray) || !Py_IS_TYPE(lengths.get(), ndarray)) return Ref();
    Exported heads(values, readable), counts(lengths, readable);
    if (!heads.plain_vector(1) || !counts.plain_vector(alignof(std::int64_t)) || heads.length() != counts.length()) {
        return Ref();
    }
    bool native;
    if (!plain_number(element_format(*heads, native))) return Ref();
    std::string_view count_format = element_format(*counts, native);
    if (!native || counts->itemsize != 8 || (count_format != "l" && count_format != "q")) return Ref();
    Py_ssize_t itemsize = heads->itemsize;
    bool aligned = itemsize == 16 || reinterpret_cast<std::uintptr_t>(heads->buf) % itemsize == 0;
    if (!aligned || (itemsize != 1 && itemsize != 2 && itemsize != 4 && itemsize != 8 && itemsize != 16)) return Ref();

    // The lengths are read once, into a copy that is checked and then filled from: another thread
    // may write to the array meanwhile, and a length that grew after the check would write past
    // the output.
    Py_ssize_t runs = counts.length(), total = 0;
    std::vector<std::int64_t> counted(static_cast<std::size_t>(runs));
    if (runs) std::memcpy(counted.data(), counts->buf, static_cast<std::size_t>(runs) * sizeof(std::int64_t));
    const std::int64_t* count = counted.data();
    for (Py_ssize_t r = 0; r < runs; r++) {
        if (count[r] < 0 || count[r] > PY_SSIZE_T_MAX / itemsize - total) return Ref();
        total += static_cast<Py_ssize_t>(count[r]);
    }
    Ref out = zk::call(st.np_empty, zk::integer(total), zk::getattr(values, st.names.dtype));
    Exported into(out, writable);
    if (!into || into->itemsize != itemsize) return Ref();
    detached(total >= worth_detaching, [&] {
        switch (itemsize) {
            case 1: fill_runs(static_cast<const std::uint8_t*>(heads->buf), count, runs, static_cast<std::uint8_t*>(into->buf)); break;
            case 2: fill_runs(static_cast<const std::uint16_t*>(heads->buf), count, runs, static_cast<std::uint16_t*>(into->buf)); break;
            case 4: fill_runs(static_cast<const std::uint32_t*>(heads->buf), count, runs, static_cast<std::uint32_t*>(into->buf)); break;
            case 8: fill_runs(static_cast<const std::uint64_t*>(heads->buf), count, runs, static_cast<std::uint64_t*>(into->buf)); break;
            default: fill_runs(static_cast<const Wide*>(heads->buf), count, runs, static_cast<Wide*>(into->buf)); break;
        }
    });
    return out;
}

Ref decompress(Scope s, Handle values, Handle lengths) {
    const State& st = s.state();
    if (Ref out = decompress_native(st, values, lengths)) return out;
    return zk::call(st.np_repeat, values, lengths);
}

}  // namespace

void define_run_length(zk::Module& m, State& st) {
    using zk::arg;
    const Names& n = st.names;
    Ref np = m.get("np");
    st.np_diff = zk::getattr(np, n.diff);
    st.np_flatnonzero = zk::getattr(np, n.flatnonzero);
    st.np_r = zk::getattr(np, n.r_);
    st.np_repeat = zk::getattr(np, n.repeat);
    st.np_empty = zk::getattr(np, n.empty);
    st.np_intp = zk::getattr(np, n.intp);
    m.def(zk::declare<compress>("compress", {arg("value").annotate("Any")}));
    m.def(zk::declare<decompress>("decompress", {arg("values"), arg("lengths")}));
}

}  // namespace protocol
