// iprint: one coloured, timestamped line (or exception report) on standard output.
#include "scribe/scribe.hpp"

namespace scribe {

using zk::Handle;
using zk::Ref;

namespace {

const char* const iprint_doc =
    "#Print info with format: \\033[mode;foreground;backgroundm text \\033[0m\n"
    "    mode    effect      foreground  background  color   level\n"
    "    0       default     30          40          black   INFO\n"
    "    1       bold        31          41          red     CRITICAL\n"
    "    4       underline   32          42          green   INFO\n"
    "    5       blink       33          43          yellow  WARNING\n"
    "    7       invert      34          44          blue    DEBUG\n"
    "    8       hide        35          45          purple  ERROR\n"
    "    9       ----        36          46          cyan    DEBUG\n"
    "    10      ----        37          47          white   INFO\n"
    "\n"
    "    Args:\n"
    "        e (Exception): captured exception\n"
    "        title (str, optional): error type. Defaults to ''.\n"
    "        excluded (list[str], optional): traceback for exception that\n"
    "            will not be printed\n"
    "    ";

// The strings that say what the exceptions of a report are (each "Type: text" line and each note),
// as format_exception_only gives them for the exception and every one it chains or groups.
void exception_texts(const Names& n, Handle report, Handle texts, int depth = 0) {
    // Past this depth (a chain no program makes) texts keep their line breaks, as the layout does.
    if (report.get() == Py_None || depth > 64) return;
    for (Ref text : zk::iterate(zk::call_method(report, n.format_exception_only))) {
        zk::check_status(PySet_Add(texts, text.get()));
    }
    exception_texts(n, zk::getattr(report, n.__cause__), texts, depth + 1);
    exception_texts(n, zk::getattr(report, n.__context__), texts, depth + 1);
    if (Ref group = zk::getattr_optional(report, n.exceptions); group && group.get() != Py_None) {
        for (Ref member : zk::iterate(group)) exception_texts(n, member, texts, depth + 1);
    }
}

// An exception's text is often made of the values it is about, which may come from a peer: it is
// shown on its own line with its control characters escaped, so that it can neither start lines
// of its own nor colour them. The report's other strings keep their line breaks, which are its layout.
Ref safe_line(Handle line, Handle texts) {
    if (!zk::contains(texts, line)) return zk::escape_controls(line, true);
    Py_ssize_t size = PyUnicode_GET_LENGTH(line.get());
    if (size == 0 || PyUnicode_READ_CHAR(line.get(), size - 1) != '\n') return zk::escape_controls(line);
    Ref body = zk::escape_controls(zk::slice(line, 0, size - 1));
    return zk::text("{}\n", body);
}

// The traceback of the exception being handled, one marked piece per string of
// TracebackException.format(chain=True), leaving out those that `pattern` matches.
Ref exception_report(Scope s, Handle style, Handle pattern, Handle obj) {
    const Names& n = s.names();
    Ref exc_info = zk::call_method(s.global(n.sys), n.exc_info);
    Ref limit = zk::new_dict();
    zk::setitem(limit, n.limit, Py_None);
    Ref report = zk::call_with(zk::getattr(s.global(n.traceback), n.TracebackException), exc_info, limit);
    Ref texts = zk::check(PySet_New(nullptr));
    exception_texts(n, report, texts);

    Ref markers = zk::getitem(style, n.tb);
    Ref split = zk::getitem(markers, n.split);
    Ref search = zk::getattr(pattern, n.search);
    Ref pieces = zk::list_of({zk::text("{}!\r\n", zk::to_str(obj))});
    for (Ref raw : zk::iterate(zk::call_kw(zk::getattr(report, n.format), {}, {{n.chain, Py_True}}))) {
        if (zk::truthy(zk::call(search, raw))) continue;
        Ref line = safe_line(raw, texts);
        Ref piece;
        if (zk::contains(line, n.during)) {
            piece = zk::text("\r\n{}{}{}", split, split, zk::call_method(line, n.lstrip));
        } else if (zk::contains(line, n.traceback_word)) {
            piece = zk::text("{}  {}", zk::getitem(markers, n.trace), line);
        } else if (zk::contains(line, n.file_word)) {
            Ref marked_source = zk::text("\n    {}  ", zk::getitem(markers, n.lines));
            Ref frame = zk::call_method(line, n.replace, n.frame_source, marked_source, zk::integer(1));
            piece = zk::text("{}{}", zk::getitem(markers, n.files), frame);
        } else {
            piece = zk::text("{}  {}", zk::getitem(markers, n.error), line);
        }
        zk::append(pieces, piece);
    }
    return zk::join(n.empty_text, pieces);
}

// `exclude` as one pattern: each entry is a regular-expression fragment searched in every string of
// a report, except the one naming this package, which stands for the frames of its own files.
Ref exclude_pattern(Scope s, Handle exclude) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref entries = zk::new_list();
    for (Ref entry : zk::iterate(exclude)) {
        bool package = PyUnicode_Check(entry.get()) && zk::equal(entry, st.package_name);
        zk::append(entries, package ? st.package_frames : entry);
    }
    return zk::call_method(s.global(n.re), n.compile, zk::join(n.bar, entries));
}

// Local time to the millisecond: 2024-05-01 12:00:00.123
Ref now_to_millisecond(Scope s) {
    const Names& n = s.names();
    Ref now = zk::call_method(s.global(n.datetime), n.now);
    return zk::slice(zk::call_method(now, n.strftime, n.clock_format), 0, -3);
}

Ref iprint(Scope s, Handle obj, Handle title, Handle mode, Handle foreground, Handle background, Handle exclude,
           Handle kwds) {
    const Names& n = s.names();
    Ref style = s.global(n.STYLE);
    Ref label = zk::getitem(zk::getitem(style, n.color2level), foreground);
    Ref pattern = exclude_pattern(s, exclude);

    Ref msg = zk::isinstance(obj, PyExc_Exception) ? exception_report(s, style, pattern, obj) : zk::format(obj);

    Ref mode_code = zk::getitem(zk::getitem(style, n.mode), mode);
    Ref codes = zk::getitem(zk::getitem(style, n.fore), foreground);
    Ref ts = now_to_millisecond(s);
    Ref rmsg = zk::truthy(zk::dict_pop(kwds, n.timestamp, Py_False)) ? zk::text("[{}] {}", ts, msg) : msg.copy();

    if (zk::truthy(background)) codes = zk::text("{};{}", codes, zk::getitem(zk::getitem(style, n.back), background));
    // Below ZELK_LOG_LEVEL the line is not printed; its text is still returned, since callers hand
    // it on as the value of a failure.
    if (!printed_levels(s).include(colour_level(foreground))) return rmsg;
    Ref line = no_color(s) ? zk::text("[{}][{}][{}] {}", ts, title, label, msg)
                           : zk::text("\x1b[{};{}m[{}][{}][{}] {}{}", mode_code, codes, ts, title, label, msg, s.global(n.SUFFIX));
    zk::print_out(s.state(), s.global(n.print), zk::tuple_of({line}), kwds);
    return rmsg;
}

}  // namespace

zk::Def iprint_def() {
    using zk::arg;
    using zk::Check;
    return zk::declare<iprint>("iprint", {
                                        arg("obj").annotate("Exception | str"),
                                        arg("title", Check::Str) = "",
                                        arg("mode", Check::Str) = "bold",
                                        arg("foreground", Check::Str) = "red",
                                        arg("background", Check::Str) = "",
                                        arg("exclude", Check::List).annotate("list[str]") = zk::list_of({zk::str("zelk")}),
                                        zk::kwargs("kwds"),
                                    })
        .returns("str")
        .doc(iprint_doc);
}

}  // namespace scribe
