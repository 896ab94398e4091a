// SFID, the snowflake-style generator, and strfid, which turns its packed IDs back into readable text.
#include "minter/minter.hpp"

namespace minter {

using zk::Handle;
using zk::Ref;

namespace {

const char* const sfid_doc =
    "\n"
    "    雪花算法 ID 的组成 (共 64 位):\n"
    "    +------------+--------+------------------------------------------+\n"
    "    | 组成部分   | 位数   | 说明                                     |\n"
    "    +------------+--------+------------------------------------------+\n"
    "    | 符号位     | 1 位   | 始终为 0                                 |\n"
    "    | 时间戳     | 41 位  | 毫秒级, 约可使用 69 年                   |\n"
    "    | 数据中心   | 5 位   | 0~31, 最多 32 个机房                     |\n"
    "    | 机器节点   | 5 位   | 0~31, 每个机房最多 32 台机器             |\n"
    "    | 序列号     | 12 位  | 0~4095, 每毫秒最多生成 4096 个 ID        |\n"
    "    +------------+--------+------------------------------------------+\n"
    "    ";

Ref init(zk::Fn fn, Handle self, Handle worker_id, Handle datacenter_id) {
    zk::setattr(self, names::_SFID__wid, worker_id);
    zk::setattr(self, names::_SFID__dcid, datacenter_id);
    zk::setattr(self, names::_SFID__sequence, zk::integer(0));
    zk::setattr(self, names::_SFID__last_timestamp, zk::integer(-1));
    zk::setattr(self, names::_SFID__lock, zk::call_method(fn.global(names::threading), names::Lock));
    return zk::none();
}

Ref repr(zk::Fn, Handle) { return Ref::borrow(names::id_generator); }

// int(time.time() * 1000): the clock in whole milliseconds since the Unix epoch.
Ref ts(zk::Fn fn, Handle) {
    Ref seconds = zk::call_method(fn.global(names::time), names::time);
    return to_int(multiply(seconds, zk::integer(1000)));
}

// The next ID. The sequence is masked with IDPS, so one millisecond yields at most two IDs
// before the caller waits, lock held, for the clock to move on.
Ref getid(zk::Fn fn, Handle self, Handle readable) {
    return with_lock(zk::getattr(self, names::_SFID__lock), [&] {
        Ref timestamp = zk::call_method(self, names::_SFID__ts);
        Ref last = zk::getattr(self, names::_SFID__last_timestamp);
        if (compare(timestamp, last, Py_EQ)) {
            Ref sequence = add(zk::getattr(self, names::_SFID__sequence), zk::integer(1));
            sequence = bit_and(sequence, fn.global(names::IDPS));
            zk::setattr(self, names::_SFID__sequence, sequence);
            if (compare(sequence, zk::integer(0), Py_EQ)) {
                while (compare(timestamp, last, Py_LE)) {
                    allow_interrupt();
                    timestamp = zk::call_method(self, names::_SFID__ts);
                }
            }
        } else {
            zk::setattr(self, names::_SFID__sequence, zk::integer(0));
        }
        zk::setattr(self, names::_SFID__last_timestamp, timestamp);

        Ref dcid = zk::getattr(self, names::_SFID__dcid);
        Ref wid = zk::getattr(self, names::_SFID__wid);
        Ref sequence = zk::getattr(self, names::_SFID__sequence);
        if (!zk::truthy(readable)) {
            Ref packed = shift_left(subtract(timestamp, fn.global(names::EPOCH)), 22);
            packed = bit_or(packed, shift_left(dcid, 17));
            packed = bit_or(packed, shift_left(wid, 12));
            return bit_or(packed, sequence);
        }
        return to_int(readable_form(fn, timestamp, dcid, wid, sequence));
    });
}

// The readable text of a packed value; EPOCH goes back in the units it was taken out in.
Ref strfid(zk::Fn fn, Handle rawid) {
    Ref timestamp = add(shift_right(rawid, 22), fn.global(names::EPOCH));
    Ref dcid = bit_and(shift_right(rawid, 17), zk::integer(31));
    Ref wid = bit_and(shift_right(rawid, 12), zk::integer(31));
    Ref sequence = bit_and(rawid, fn.global(names::IDPS));
    return readable_form(fn, timestamp, dcid, wid, sequence);
}

}  // namespace

Ref readable_form(zk::Fn fn, Handle timestamp, Handle dcid, Handle wid, Handle sequence) {
    Ref seconds = true_divide(timestamp, zk::floating(1000.0));
    Ref moment = zk::call_method(fn.global(names::datetime), names::fromtimestamp, seconds);
    Ref text = zk::call_method(moment, names::strftime, names::time_format);
    // The text down to the millisecond: twelve digits up to the second, then three of milliseconds.
    Ref millis_text = zk::slice(text, 0, -3);
    Ref head = zk::slice(millis_text, 0, 12);
    Ref millis = zk::slice(millis_text, 12, PY_SSIZE_T_MAX);
    Ref worker = zk::check(PyObject_Format(wid, names::two_digits));
    return zk::concat({head, zk::format(dcid), worker, zk::format(sequence), millis});
}

void define_sfid(zk::Module& m) {
    using zk::arg;
    using zk::Check;
    m.add_class("SFID", {}, sfid_doc,
                {
                    zk::method(zk::fn<init>("__init__", {arg("self"), arg("worker_id", Check::Int),
                                                         arg("datacenter_id", Check::Int) = 0})),
                    zk::method(zk::fn<repr>("__repr__", {arg("self")})),
                    private_method(zk::fn<ts>("__ts", {arg("self")}), "_SFID__ts"),
                    zk::method(zk::fn<getid>("getid", {arg("self"), arg("readable").annotate("bool") = false})),
                });
}

zk::Def strfid_def() {
    using zk::arg;
    using zk::Check;
    return zk::fn<strfid>("strfid", {arg("rawid", Check::Int)});
}

}  // namespace minter
