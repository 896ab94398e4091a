// What a pickle asks for, screened before an allow-list's unpickler reads it. pickle.Unpickler grows
// its memo to whatever index a PUT names, so a pickle of twenty bytes can claim gigabytes, and sizes
// bytes or a bytearray by the length field before it finds the data missing: an honest pickle
// numbers its memo from 0, one entry per PUT, and carries what its length fields announce. And the
// extension opcodes name a global by a code of copyreg's registry, whose cache, shared by every
// unpickler of the process, answers before find_class is asked: they are refused, as no list names them.
#include "protocol/protocol.hpp"

#include <cstdint>
#include <cstring>

namespace protocol {

namespace {

std::uint64_t little_endian(const unsigned char* p, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; i--) value = value << 8 | p[i];
    return value;
}

[[noreturn]] void too_much(const State& st, const char* what) { zk::raise(zk::call(st.unpickling_error, zk::str(what))); }

}  // namespace

void screen_pickle(const State& st, const char* data, Py_ssize_t size) {
    constexpr unsigned char frame = 0x95;
    auto* p = reinterpret_cast<const unsigned char*>(data);
    auto* end = p + size;
    auto left = [&] { return static_cast<std::uint64_t>(end - p); };
    // A memo index past the pickle's own length was not written by a pickler.
    auto memo_index = [&](std::uint64_t index) {
        if (index >= static_cast<std::uint64_t>(size)) too_much(st, "a pickle's memo index beyond its length");
    };
    while (p < end) {
        unsigned char op = *p++;
        int fixed = 0;       // bytes of argument
        int counted = 0;     // bytes of a length field, followed by that many bytes
        bool memo = false;   // the argument is a memo index for PUT
        switch (op) {
            case '.': return;  // STOP
            // Arguments ending at a newline; PUT's is a decimal memo index, GLOBAL and INST have two lines.
            case 'p': case 'I': case 'L': case 'S': case 'V': case 'F': case 'g': case 'P': case 'c': case 'i': {
                for (int lines = op == 'c' || op == 'i' ? 2 : 1; lines > 0; lines--) {
                    auto* newline = static_cast<const unsigned char*>(std::memchr(p, '\n', left()));
                    if (!newline) return;  // truncated: the unpickler says so
                    if (op == 'p') {
                        std::uint64_t index = 0;
                        for (auto* d = p; d < newline && *d >= '0' && *d <= '9'; d++) {
                            index = index * 10 + (*d - '0');
                            memo_index(index);
                        }
                    }
                    p = newline + 1;
                }
                continue;
            }
            case 0x82: case 0x83: case 0x84:  // EXT1, EXT2, EXT4
                refuse(st, zk::str("a global named by a copyreg extension code is not in allowed_classes"));
            case 'K': case 'h': case 0x80: fixed = 1; break;  // ..., PROTO
            case 'M': fixed = 2; break;
            case 'J': case 'j': fixed = 4; break;
            case 'G': case frame: fixed = 8; break;  // BINFLOAT, and FRAME's length (its data follows as opcodes)
            case 'q': fixed = 1, memo = true; break;
            case 'r': fixed = 4, memo = true; break;
            case 0x8a: case 'U': case 'C': case 0x8c: counted = 1; break;  // LONG1, ..., SHORT_BINUNICODE
            case 0x8b: case 'T': case 'B': case 'X': counted = 4; break;   // LONG4, ...
            case 0x8e: case 0x8d: case 0x96: counted = 8; break;           // BINBYTES8, BINUNICODE8, BYTEARRAY8
            default: continue;  // no argument, or an opcode the unpickler will refuse
        }
        int field = fixed ? fixed : counted;
        if (left() < static_cast<std::uint64_t>(field)) return;
        std::uint64_t value = little_endian(p, field);
        p += field;
        if (memo) memo_index(value);
        if (op == frame && value > left()) too_much(st, "a pickle's frame longer than the pickle");
        if (counted) {
            if (value > left()) too_much(st, "a pickle's data shorter than its length field says");
            p += value;
        }
    }
}

}  // namespace protocol
