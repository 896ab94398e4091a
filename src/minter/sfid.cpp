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

Ref init(Scope s, Handle self, Handle worker_id, Handle datacenter_id) {
    const Names& n = s.names();
    check_id_field(worker_id, "worker_id");
    check_id_field(datacenter_id, "datacenter_id");
    zk::setattr(self, n._SFID__wid, worker_id);
    zk::setattr(self, n._SFID__dcid, datacenter_id);
    zk::setattr(self, n._SFID__sequence, zk::integer(0));
    zk::setattr(self, n._SFID__last_timestamp, zk::integer(-1));
    zk::setattr(self, n._SFID__lock, zk::call_method(s.global(n.threading), n.Lock));
    return zk::none();
}

Ref repr(Scope s, Handle) { return s.names().id_generator.copy(); }

// int(time.time() * 1000): the clock in whole milliseconds since the Unix epoch.
Ref ts(Scope s, Handle) {
    const Names& n = s.names();
    Ref seconds = zk::call_method(s.global(n.time), n.time);
    return zk::to_int(zk::multiply(seconds, zk::integer(1000)));
}

// The next ID. The sequence is masked with IDPS, so one millisecond yields at most two IDs
// before the caller waits, lock held, for the clock to move on.
Ref getid(Scope s, Handle self, Handle readable) {
    const Names& n = s.names();
    return zk::with_lock(s.state().core, zk::getattr(self, n._SFID__lock), [&] {
        Ref timestamp = zk::call_method(self, n._SFID__ts);
        Ref last = zk::getattr(self, n._SFID__last_timestamp);
        if (zk::equal(timestamp, last)) {
            Ref sequence = zk::add(zk::getattr(self, n._SFID__sequence), zk::integer(1));
            sequence = zk::bit_and(sequence, s.global(n.IDPS));
            zk::setattr(self, n._SFID__sequence, sequence);
            if (zk::equal(sequence, zk::integer(0))) {
                while (zk::compare(timestamp, last, Py_LE)) {
                    allow_interrupt();
                    timestamp = zk::call_method(self, n._SFID__ts);
                }
            }
        } else {
            zk::setattr(self, n._SFID__sequence, zk::integer(0));
        }
        zk::setattr(self, n._SFID__last_timestamp, timestamp);

        Ref dcid = zk::getattr(self, n._SFID__dcid);
        Ref wid = zk::getattr(self, n._SFID__wid);
        Ref sequence = zk::getattr(self, n._SFID__sequence);
        if (!zk::truthy(readable)) {
            Ref packed = zk::shift_left(zk::subtract(timestamp, s.global(n.EPOCH)), 22);
            packed = zk::bit_or(packed, zk::shift_left(dcid, 17));
            packed = zk::bit_or(packed, zk::shift_left(wid, 12));
            return zk::bit_or(packed, sequence);
        }
        return zk::to_int(readable_form(s, timestamp, dcid, wid, sequence));
    });
}

// The readable text of a packed value; EPOCH goes back in the units it was taken out in.
Ref strfid(Scope s, Handle rawid) {
    const Names& n = s.names();
    Ref timestamp = zk::add(zk::shift_right(rawid, 22), s.global(n.EPOCH));
    Ref dcid = zk::bit_and(zk::shift_right(rawid, 17), zk::integer(31));
    Ref wid = zk::bit_and(zk::shift_right(rawid, 12), zk::integer(31));
    Ref sequence = zk::bit_and(rawid, s.global(n.IDPS));
    return readable_form(s, timestamp, dcid, wid, sequence);
}

}  // namespace

Ref readable_form(Scope s, Handle timestamp, Handle dcid, Handle wid, Handle sequence) {
    const Names& n = s.names();
    Ref seconds = zk::true_divide(timestamp, zk::floating(1000.0));
    Ref moment = zk::call_method(s.global(n.datetime), n.fromtimestamp, seconds);
    Ref text = zk::call_method(moment, n.strftime, n.id_time_format);
    // The text down to the millisecond: twelve digits up to the second, then three of milliseconds.
    Ref millis_text = zk::slice(text, 0, -3);
    Ref head = zk::slice(millis_text, 0, 12);
    Ref millis = zk::slice(millis_text, 12, PY_SSIZE_T_MAX);
    Ref worker = zk::check(PyObject_Format(wid, n.two_digits.get()));
    return zk::concat({head, zk::format(dcid), worker, zk::format(sequence), millis});
}

void define_sfid(zk::Module& m) {
    using zk::arg;
    using zk::Check;
    m.add_class("SFID", {}, sfid_doc,
                {
                    zk::method(zk::declare<init>("__init__", {arg("self"), arg("worker_id", Check::Int),
                                                         arg("datacenter_id", Check::Int) = 0})),
                    zk::method(zk::declare<repr>("__repr__", {arg("self")})),
                    private_method(zk::declare<ts>("__ts", {arg("self")}), "_SFID__ts"),
                    zk::method(zk::declare<getid>("getid", {arg("self"), arg("readable").annotate("bool") = false})),
                });
}

zk::Def strfid_def() {
    using zk::arg;
    using zk::Check;
    return zk::declare<strfid>("strfid", {arg("rawid", Check::Int)});
}

}  // namespace minter
