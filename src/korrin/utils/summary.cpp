// korrin.utils.summary: fixed-width framed text boxes, queued line by line and
// written to the log one record per line.
#include "pyglue/pyglue.hpp"
#include "korrin/utils/summary_watch.hpp"

#include <vector>

using pyglue::global;
using pyglue::id;
using pyglue::Ref;

namespace {

using namespace korrin::summary;

// An exact int width that row arithmetic can use without overflow.
bool small_width(PyObject* width, Py_ssize_t& out) {
    if (!PyLong_CheckExact(width)) return false;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(width, &overflow);
    if (value == -1 && PyErr_Occurred()) pyglue::fail();
    if (overflow || value < 0 || value > PY_SSIZE_T_MAX / 4) return false;
    out = static_cast<Py_ssize_t>(value);
    return true;
}

// "| {msg} {l:>{width}}" with l = "|" and the field width width - len(msg) - 3:
// the closing bar is right-aligned, or stands at its natural width of one.
Py_ssize_t row_padding(Py_ssize_t length, Py_ssize_t width) {
    Py_ssize_t field = width - length - 3;
    return field > 1 ? field - 1 : 0;
}

template <class Out, class In>
void write_row(void* data, const In* text, Py_ssize_t length, Py_ssize_t pad) {
    Out* out = static_cast<Out*>(data);
    out[0] = '|';
    out[1] = ' ';
    for (Py_ssize_t i = 0; i < length; ++i) out[2 + i] = static_cast<Out>(text[i]);
    for (Py_ssize_t i = 0; i <= pad; ++i) out[2 + length + i] = ' ';
    out[length + 3 + pad] = '|';
}

// The row for a line given as characters of any width, as an exact str.
template <class In>
Ref text_row(const In* text, Py_ssize_t length, Py_ssize_t width) {
    In max = 0;  // in the characters' own width, so the compiler vectorizes the loop
    for (Py_ssize_t i = 0; i < length; ++i) max = text[i] > max ? text[i] : max;
    Py_ssize_t pad = row_padding(length, width);
    Ref row = pyglue::check(PyUnicode_New(length + 4 + pad, max));
    void* data = PyUnicode_DATA(row.get());
    switch (PyUnicode_KIND(row.get())) {
    case PyUnicode_1BYTE_KIND: write_row<Py_UCS1>(data, text, length, pad); break;
    case PyUnicode_2BYTE_KIND: write_row<Py_UCS2>(data, text, length, pad); break;
    default: write_row<Py_UCS4>(data, text, length, pad); break;
    }
    return row;
}

// One line of a wrapped message: what textwrap returned for it, or (wrapped
// natively) its characters only. `kind` is 0 for a line that is no exact str.
struct Line {
    Ref object;
    int kind = 0;
    const void* data = nullptr;
    Py_ssize_t length = 0;

    static Line of(PyObject* line) {
        if (!PyUnicode_CheckExact(line)) return {Ref::borrow(line)};
        return {Ref::borrow(line), PyUnicode_KIND(line), PyUnicode_DATA(line), PyUnicode_GET_LENGTH(line)};
    }
};

// "| {msg} {l:>{width}}".format(msg=line, l="|", width=width - len(line) - 3)
Ref row_for(SummaryState& m, const Line& line, PyObject* width) {
    Py_ssize_t w;
    // A line too long for the box gives a negative field, which the format
    // itself refuses.
    if (line.kind && small_width(width, w) && w - line.length - 3 >= 0) {
        switch (line.kind) {
        case PyUnicode_1BYTE_KIND: return text_row(static_cast<const Py_UCS1*>(line.data), line.length, w);
        case PyUnicode_2BYTE_KIND: return text_row(static_cast<const Py_UCS2*>(line.data), line.length, w);
        default: return text_row(static_cast<const Py_UCS4*>(line.data), line.length, w);
        }
    }
    // Any other width or line: the format itself, with its own errors.
    Ref text = line.object ? line.object : pyglue::check(PyUnicode_FromKindAndData(line.kind, line.data, line.length));
    PyObject* templ = id<"| {msg} {l:>{width}}">(m);
    Py_ssize_t length = PyObject_Size(text.get());
    if (length < 0) pyglue::fail();
    Ref length_obj = pyglue::check(PyLong_FromSsize_t(length));
    Ref three = pyglue::check(PyLong_FromLong(3));
    Ref field = pyglue::check(PyNumber_Subtract(width, length_obj.get()));
    field = pyglue::check(PyNumber_Subtract(field.get(), three.get()));
    Ref bar = pyglue::text("|");
    return pyglue::format_named<"msg", "l", "width">(m, templ, {text.get(), bar.get(), field.get()});
}

// -------------------------------------------------------------- Msg

Ref msg_init(SummaryState& m, const pyglue::Args<3>& a) {
    auto [self, msg, level] = a;
    pyglue::setattr(self, id<"msg">(m), msg);
    pyglue::setattr(self, id<"level">(m), level);
    return pyglue::none();
}

const auto msg_init_def = pyglue::def("__init__", {"self", "msg", "level='info'"}, nullptr, msg_init);

// Msg(row, level=level) through the module global, as the method body calls
// it. While Msg is untouched, calling it means allocating an instance and
// assigning its two attributes, which is done directly.
Ref new_msg(SummaryState& m, PyObject* msg_class, PyObject* row, PyObject* level) {
    if (msg_may_be_made_directly(m, msg_class)) {
        // object.__new__, which also lays out the instance's attribute storage.
        auto* type = reinterpret_cast<PyTypeObject*>(msg_class);
        Ref no_args = pyglue::check(PyTuple_New(0));
        Ref instance = pyglue::check(type->tp_new(type, no_args.get(), nullptr));
        pyglue::setattr(instance.get(), id<"msg">(m), row);
        pyglue::setattr(instance.get(), id<"level">(m), level);
        return instance;
    }
    return pyglue::call_named<"level">(m, msg_class, {row}, {level});
}

// -------------------------------------------------------------- Summary

PyObject* frame_line(SummaryState& m, PyObject* width, const char* fill, const char* templ, bool title) {
    Ref two = pyglue::check(PyLong_FromLong(2));
    Ref count = pyglue::check(PyNumber_Subtract(width, two.get()));
    Ref fill_text = pyglue::text(fill);
    Ref middle = pyglue::check(PyNumber_Multiply(fill_text.get(), count.get()));
    Ref templ_text = pyglue::text(templ);
    if (title) return pyglue::format_named<"m">(m, templ_text.get(), {middle.get()}).release();
    Ref bar = pyglue::text("|");
    return pyglue::format_named<"s", "m">(m, templ_text.get(), {bar.get(), middle.get()}).release();
}

Ref summary_init(SummaryState& m, const pyglue::Args<3>& a) {
    auto [self, title, width] = a;
    Ref four = pyglue::check(PyLong_FromLong(4));
    // "lenght" is spelt so on purpose: callers read and set the attribute by that name.
    pyglue::setattr(self, id<"lenght">(m), four.get());
    pyglue::setattr(self, id<"title">(m), title);
    pyglue::setattr(self, id<"width">(m), width);
    Ref msgs = pyglue::check(PyList_New(0));
    pyglue::setattr(self, id<"summary_msgs">(m), msgs.get());
    Ref line = Ref::steal(frame_line(m, width, "=", "+{m}+", true));
    pyglue::setattr(self, id<"title_line">(m), line.get());
    line = Ref::steal(frame_line(m, width, "=", "{s}{m}{s}", false));
    pyglue::setattr(self, id<"subtitle_line">(m), line.get());
    line = Ref::steal(frame_line(m, width, "-", "{s}{m}{s}", false));
    pyglue::setattr(self, id<"sep_line">(m), line.get());
    line = Ref::steal(frame_line(m, width, "*", "{s}{m}{s}", false));
    pyglue::setattr(self, id<"star_line">(m), line.get());
    pyglue::call_method(self, id<"add_title_line">(m));
    pyglue::call_method(self, id<"add_message">(m), title);
    pyglue::call_method(self, id<"add_title_line">(m));
    return pyglue::none();
}

// self.summary_msgs.append(Msg(<row>, level=level)), evaluated in Python's
// order: the list, its append, the global Msg, then the row.
template <class Row>
void queue_msg(SummaryState& m, PyObject* self, Row&& row, PyObject* level) {
    Ref msgs = pyglue::getattr(self, id<"summary_msgs">(m));
    Ref append = PyList_CheckExact(msgs.get()) ? Ref() : pyglue::getattr(msgs.get(), id<"append">(m));
    Ref msg_class = global<"Msg">(m);
    Ref text = row();
    Ref queued = new_msg(m, msg_class.get(), text.get(), level);
    if (append) pyglue::call(append.get(), queued.get());
    else pyglue::check_status(PyList_Append(msgs.get(), queued.get()));
}

// self.summary_msgs.append(Msg(self.<line>, level="info")): the four
// frame-line methods differ only in their name and the stored line.
template <pyglue::Literal Method, pyglue::Literal Line>
struct FrameLine {
    static Ref call(SummaryState& m, const pyglue::Args<1>& a) {
        auto [self] = a;
        queue_msg(m, self, [&] { return pyglue::getattr(self, id<Line>(m)); }, id<"info">(m));
        return pyglue::none();
    }

    static const auto& def() {
        static const auto d = pyglue::def(Method.text, {"self"}, nullptr, call);
        return d;
    }
};

using AddTitleLine = FrameLine<"add_title_line", "title_line">;
using AddSubtitleLine = FrameLine<"add_subtitle_line", "subtitle_line">;
using AddSepLine = FrameLine<"add_sep_line", "sep_line">;
using AddStarLine = FrameLine<"add_star_line", "star_line">;

// The lines of textwrap.wrap(text, self.width - 4), natively where that
// gives the same: then `native` holds them (and nothing else) and the result
// is empty.
Ref wrap_message(SummaryState& m, PyObject* self, PyObject* text, korrin::wrap::Lines& native) {
    Ref textwrap = global<"textwrap">(m);
    Ref wrap = pyglue::getattr(textwrap.get(), id<"wrap">(m));
    Ref width = pyglue::getattr(self, id<"width">(m));
    Py_ssize_t w = 0;
    // textwrap calls the methods of str subclasses, so only exact str is wrapped here.
    if (PyUnicode_CheckExact(text) && small_width(width.get(), w) && w >= 5 &&
        native_wrapper_may_answer(m, textwrap.get(), wrap.get())) {
        korrin::wrap::wrap_lines(text, static_cast<std::size_t>(w - 4), m.wrap_behaviour, native);
        return Ref();
    }
    Ref four = pyglue::check(PyLong_FromLong(4));
    Ref wrap_width = pyglue::check(PyNumber_Subtract(width.get(), four.get()));
    return pyglue::call(wrap.get(), text, wrap_width.get());
}

// for line in lines: (each of textwrap's result, or of the native lines)
template <class Each>
void for_each_line(PyObject* result, const korrin::wrap::Lines& native, Each&& each) {
    if (result) {
        pyglue::for_each(result, [&](PyObject* line) { each(Line::of(line)); });
        return;
    }
    for (const auto& span : native.spans)
        each(Line{Ref(), native.kind, static_cast<const char*>(native.chars) + span.begin * native.kind,
                  static_cast<Py_ssize_t>(span.length)});
}

// row = "| {msg} {l:>{width}}".format(msg=line, l="|", width=self.width - len(line) - 3)
// self.summary_msgs.append(Msg(row, level=level))
void queue_line(SummaryState& m, PyObject* self, const Line& line, PyObject* level) {
    Ref width = pyglue::getattr(self, id<"width">(m));
    Ref row = row_for(m, line, width.get());
    queue_msg(m, self, [&] { return row; }, level);
}

Ref add_message(SummaryState& m, const pyglue::Args<4>& a) {
    // `indent` is accepted and not used, as in the Python method.
    auto [self, msg, indent, level] = a;
    // if len(level) > self.lenght: self.lenght = len(level)
    auto level_length = [&] {
        Py_ssize_t length = PyObject_Size(level);
        if (length < 0) pyglue::fail();
        return pyglue::check(PyLong_FromSsize_t(length));
    };
    Ref lenght = pyglue::getattr(self, id<"lenght">(m));
    if (pyglue::check_status(PyObject_RichCompareBool(level_length().get(), lenght.get(), Py_GT)))
        pyglue::setattr(self, id<"lenght">(m), level_length().get());

    if (!pyglue::check_status(PyObject_IsInstance(msg, reinterpret_cast<PyObject*>(&PyList_Type)))) {
        // lines = textwrap.wrap(msg, self.width - 4)
        korrin::wrap::Lines native;
        Ref result = wrap_message(m, self, msg, native);
        for_each_line(result.get(), native, [&](const Line& line) { queue_line(m, self, line, level); });
        return pyglue::none();
    }
    // lines = []
    // for item in msg: lines.extend(textwrap.wrap(item, self.width - 4))
    std::vector<Line> lines;
    std::vector<Ref> texts;                          // whose characters native lines are
    std::vector<std::vector<unsigned char>> munged;  // or their munged copies
    korrin::wrap::Lines native;                      // one item's, reused
    pyglue::for_each(msg, [&](PyObject* item) {
        Ref result = wrap_message(m, self, item, native);
        if (!result) {
            texts.push_back(native.text);
            if (!native.munged.empty()) {
                munged.push_back(std::move(native.munged));
                native.munged.clear();
                native.chars = munged.back().data();
            }
        }
        for_each_line(result.get(), native, [&](const Line& line) { lines.push_back(line); });
    });
    for (const Line& line : lines) queue_line(m, self, line, level);
    return pyglue::none();
}

const auto add_message_def = pyglue::def("add_message", {"self", "msg", "indent=False", "level='info'"}, nullptr, add_message);

Ref add_indent(SummaryState& m, const pyglue::Args<3>& a) {
    auto [self, msg, end] = a;
    PyObject* prefix = pyglue::truth(end) ? id<"    - ">(m) : id<"    ">(m);
    return pyglue::check(PyNumber_Add(prefix, msg));
}

const auto add_indent_def = pyglue::def("add_indent", {"self", "msg", "end=True"}, nullptr, add_indent);

// Each queued line goes to the logger method its level names; lines whose
// level name is shorter than the longest seen are pushed right by the
// difference, so boxes line up under the record's level prefix. The queued
// records are left as they are, so printing again writes the same box.
Ref print(SummaryState& m, const pyglue::Args<1>& a) {
    auto [self] = a;
    Ref msgs = pyglue::getattr(self, id<"summary_msgs">(m));
    pyglue::for_each(msgs.get(), [&](PyObject* record) {
        Ref level = pyglue::getattr(record, id<"level">(m));
        Ref text = pyglue::getattr(record, id<"msg">(m));
        Py_ssize_t level_length = PyObject_Size(level.get());
        if (level_length < 0) pyglue::fail();
        Ref length = pyglue::check(PyLong_FromSsize_t(level_length));
        Ref lenght = pyglue::getattr(self, id<"lenght">(m));
        if (pyglue::check_status(PyObject_RichCompareBool(length.get(), lenght.get(), Py_LT))) {
            Ref count = pyglue::check(PyNumber_Subtract(lenght.get(), length.get()));
            Ref space = pyglue::text(" ");
            Ref spaces = pyglue::check(PyNumber_Multiply(space.get(), count.get()));
            text = pyglue::check(PyNumber_Add(spaces.get(), text.get()));
        }
        Ref logger = global<"logger">(m);
        Ref method = pyglue::check(PyObject_GetAttr(logger.get(), level.get()));
        pyglue::call(method.get(), text.get());
    });
    return pyglue::none();
}

const auto print_def = pyglue::def("print", {"self"}, nullptr, print);

// -------------------------------------------------------------- sections

Ref summarize_section(SummaryState& m, const pyglue::Args<5>& a) {
    auto [self, message, device, level, end] = a;
    if (pyglue::truth(device)) {
        Ref templ = pyglue::text("* Summary for device: {}");
        Ref header = pyglue::format(m, templ.get(), {device});
        pyglue::call_method(self, id<"add_message">(m), header.get());
        pyglue::call_method(self, id<"add_sep_line">(m));
    }
    Ref indented = pyglue::call_method(self, id<"add_indent">(m), message, end);
    pyglue::call_named<"level">(m, pyglue::getattr(self, id<"add_message">(m)).get(), {indented.get()}, {level});
    pyglue::call_method(self, id<"add_subtitle_line">(m));
    return pyglue::none();
}

const auto summarize_section_def = pyglue::def("summarize_section", {"self", "message", "device=None", "level='info'", "end=True"}, "Build a summary section as per the provided info", summarize_section);

Ref summarize_profile(SummaryState& m, const pyglue::Args<5>& a) {
    auto [self, device, diff, golden, pts] = a;
    Ref templ = pyglue::text("* Summary for device: {}");
    Ref header = pyglue::format(m, templ.get(), {device});
    pyglue::call_method(self, id<"add_message">(m), header.get());

    const char* loc = "original configuration taken at common setup";
    const char* loc2 = "the one taken at common cleanup";
    if (pyglue::truth(pts)) {
        loc = pyglue::truth(golden) ? "pts_golden_config" : "Common Setup snapshot";
        loc2 = "OPS object snapspshot";  // spelt so on purpose: log readers match this text
    }
    Ref loc_text = pyglue::text(loc);
    Ref error = pyglue::text("error");
    Ref add_message = pyglue::getattr(self, id<"add_message">(m));
    if (pyglue::truth(diff)) {
        Ref loc2_text = pyglue::text(loc2);
        Ref statement_templ =
            pyglue::text("Comparison between {loc} and {loc2} is different as per the following diffs:\n");
        Ref statement = pyglue::format_named<"loc", "loc2">(m, statement_templ.get(), {loc_text.get(), loc2_text.get()});
        Ref indented = pyglue::call_method(self, id<"add_indent">(m), statement.get());
        pyglue::call_named<"level">(m, add_message.get(), {indented.get()}, {error.get()});
        Ref diff_text = pyglue::str(diff);
        Ref diff_lines = pyglue::call_method(diff_text.get(), id<"splitlines">(m));
        pyglue::call_named<"level">(m, add_message.get(), {diff_lines.get()}, {error.get()});
    } else {
        Ref statement_templ = pyglue::text("Comparison between {loc} and OPS object snapshots are equal");
        Ref statement = pyglue::format_named<"loc">(m, statement_templ.get(), {loc_text.get()});
        Ref indented = pyglue::call_method(self, id<"add_indent">(m), statement.get());
        Ref info = pyglue::text("info");
        pyglue::call_named<"level">(m, add_message.get(), {indented.get()}, {info.get()});
    }
    pyglue::call_method(self, id<"add_star_line">(m));
    return pyglue::none();
}

const auto summarize_profile_def = pyglue::def("summarize_profile", {"self", "device", "diff=None", "golden=False", "PTS=True"}, "Summarize PTS", summarize_profile);

// -------------------------------------------------------------- TriggerSummary

Ref summarize(SummaryState& m, const pyglue::Args<4>& a) {
    auto [self, title, message, indent] = a;
    Ref add_message = pyglue::getattr(self, id<"add_message">(m));
    pyglue::call_named<"indent">(m, add_message.get(), {title}, {indent});
    pyglue::call_method(self, id<"add_sep_line">(m));
    add_message = pyglue::getattr(self, id<"add_message">(m));
    pyglue::call_named<"indent">(m, add_message.get(), {message}, {indent});
    pyglue::call_method(self, id<"add_subtitle_line">(m));
    return pyglue::none();
}

const auto summarize_def = pyglue::def("summarize", {"self", "title", "message", "indent=False"}, "Build a summary table as per the provided info", summarize);

Ref summarize_trigger(SummaryState& m, const pyglue::Args<3>& a) {
    auto [self, description, info] = a;
    Ref lines = pyglue::call_method(description, id<"splitlines">(m));
    Ref title = pyglue::text("Description");
    pyglue::call_named<"indent">(m, pyglue::getattr(self, id<"summarize">(m)).get(), {title.get(), lines.get()}, {Py_True});
    Ref yaml = global<"yaml">(m);
    Ref four = pyglue::check(PyLong_FromLong(4));
    Ref dumped = pyglue::call_named<"default_flow_style", "indent">(m, pyglue::getattr(yaml.get(), id<"dump">(m)).get(), {info}, {Py_False, four.get()});
    Ref parameters = pyglue::call_method(dumped.get(), id<"splitlines">(m));
    title = pyglue::text("Trigger datafile parameters:");
    pyglue::call_named<"indent">(m, pyglue::getattr(self, id<"summarize">(m)).get(), {title.get(), parameters.get()}, {Py_True});
    return pyglue::none();
}

const auto summarize_trigger_def = pyglue::def("summarize_trigger", {"self", "description", "info"}, "Build a summary table for the trigger", summarize_trigger);

const auto summary_init_def = pyglue::def("__init__", {"self", "title", "width"}, nullptr, summary_init);

void exec_module(pyglue::Builder<SummaryState>& b) {
    SummaryState& m = b.state();
    using pyglue::method;
    b.import("yaml");
    Ref logging = b.import("logging");
    Ref textwrap = b.import("textwrap");
    Ref logger = pyglue::call_method(logging.get(), id<"getLogger">(m));
    b.bind("logger", logger.get());

    Ref summary = b.add_class("Summary", nullptr,
                              {method(summary_init_def), method(AddTitleLine::def()), method(AddSubtitleLine::def()),
                               method(AddSepLine::def()), method(AddStarLine::def()), method(add_message_def),
                               method(add_indent_def), method(print_def), method(summarize_section_def),
                               method(summarize_profile_def)});
    b.add_class("TriggerSummary", nullptr, {method(summarize_trigger_def), method(summarize_def)}, summary.get());
    Ref msg = b.add_class("Msg", nullptr, {method(msg_init_def)});
    watch(m, textwrap.get(), msg.get());
}

}  // namespace

PyMODINIT_FUNC PyInit_summary() { return pyglue::define_module<exec_module>("korrin.utils.summary"); }
