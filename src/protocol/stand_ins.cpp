// Spans without stand-ins: where a raising reader or writer (a server, a client with errors="raise",
// zelk.aio) packs or unpacks, a value the codec cannot carry is refused rather than replaced by the
// printer's text, which would otherwise travel, or reach a served method, as if it were the value.
#include "protocol/codec_api.hpp"
#include "protocol/protocol.hpp"

namespace protocol {

using zk::Handle;
using zk::Ref;

namespace {

// One thread packs or unpacks one message at a time; the span is its own for that time.
thread_local StandIns* refusing = nullptr;

Ref refusing_stand_ins(Scope s, Handle function, Handle arg) {
    StandIns span;
    begin_refusing(&span);
    Ref value = zk::finally([&] { return zk::call(function, arg); }, [&] { end_refusing(&span); });
    if (span.not_rebuilt) {
        // The whole message was read, with the stand-in in the array's place: its reader may still answer by it.
        Ref error = zk::call(s.state().not_rebuilt, span.not_rebuilt);
        zk::setattr(error, s.names().value, value);
        zk::raise(error);
    }
    return value;
}

}  // namespace

void begin_refusing(StandIns* span) noexcept {
    span->outer = refusing;
    refusing = span;
}

void end_refusing(StandIns* span) noexcept { refusing = span->outer; }

namespace codec {

StandIns* stand_ins_refused() noexcept { return refusing; }

}  // namespace codec

void define_stand_ins(zk::Module& m, State& st) {
    using zk::arg;
    st.not_rebuilt = m.add_class(
        "NotRebuilt", {PyExc_ValueError},
        "An array of a message could not be rebuilt (its bytes do not fit its type and shape) where no\n"
        "stand-in may take its place. Raised once the message is decoded, `value` is the message, the\n"
        "\"@DECODE: \" text in the array's place.",
        {zk::attribute("value", zk::none())});
    m.def(zk::declare<refusing_stand_ins>("refusing_stand_ins", {arg("function").annotate("Callable[[Any], Any]"), arg("arg")})
              .doc("function(arg), with none of the codec's stand-ins in a value's place: a value that cannot be\n"
                   "encoded raises TypeError with the text that would have taken its place, and an array that\n"
                   "cannot be rebuilt raises NotRebuilt once the message is decoded. The printer reports each as before."));
}

}  // namespace protocol
