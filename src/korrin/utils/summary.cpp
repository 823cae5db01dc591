// korrin.utils.summary: fixed-width framed text boxes, queued line by line and
// written to the log one record per line.
#include "pyglue/pyglue.hpp"
#include "korrin/utils/summary_wrap.hpp"

#include <vector>

using pyglue::global;
using pyglue::id;
using pyglue::Ref;
using pyglue::Signature;

namespace {

// What the module found at import, kept in its state. The native wrapper
// stands in for textwrap.wrap, and Msg instances are made without the
// generic call, only while the module's `textwrap` global, `textwrap.wrap`,
// `textwrap.TextWrapper` and `Msg` are still those objects and no attribute
// of TextWrapper or Msg has been rebound since. kWrapBehaviour holds what
// probing that textwrap.wrap at import found (a korrin::wrap::Behaviour).
enum Kept { kTextwrap, kWrap, kTextWrapper, kTextWrapperDict, kMsg, kMsgDict, kKeptCount };
enum Words { kTextWrapperTag, kMsgTag, kWrapBehaviour, kWordsCount };

// Whether `type`'s attributes are those seen at import. The type's version
// tag changes with any assignment to it or a base; a changed (or zero) tag
// sends us to compare the attributes once, and an undone patch is accepted
// again under the new tag.
bool type_unchanged(PyObject* type_object, Kept snapshot, Words tag_word) {
    auto* type = reinterpret_cast<PyTypeObject*>(type_object);
    pyglue::ModuleState& state = pyglue::state();
    std::uint64_t& known = state.words[tag_word];
    if (type->tp_version_tag != 0 && type->tp_version_tag == known) return true;
    PyObject* seen = state.kept[snapshot].get();
    PyObject* now = type->tp_dict;
    if (PyDict_GET_SIZE(now) != PyDict_GET_SIZE(seen)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(seen, &pos, &key, &value)) {
        PyObject* current = PyDict_GetItemWithError(now, key);
        if (current != value) {
            if (PyErr_Occurred()) pyglue::fail();
            return false;
        }
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyUnstable_Type_AssignVersionTag(type);
#else
    // An attribute lookup on the type gives it a tag, as it would any class in use.
    Ref probe = pyglue::getattr(type_object, id<"__init__">());
#endif
    known = type->tp_version_tag;
    return true;
}

// Whether textwrap.wrap (the module `textwrap` and its `wrap` just read) can
// be done natively.
bool native_wrap_applies(PyObject* textwrap, PyObject* wrap) {
    pyglue::ModuleState& state = pyglue::state();
    if (textwrap != state.kept[kTextwrap].get() || wrap != state.kept[kWrap].get() ||
        state.words[kWrapBehaviour] == static_cast<std::uint64_t>(korrin::wrap::Behaviour::textwrap_only))
        return false;
    Ref text_wrapper = pyglue::getattr(textwrap, id<"TextWrapper">());
    return text_wrapper.get() == state.kept[kTextWrapper].get() &&
           type_unchanged(text_wrapper.get(), kTextWrapperDict, kTextWrapperTag);
}

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

Ref row_for(PyObject* line, PyObject* width) {
    Py_ssize_t w;
    // A line too long for the box gives a negative field, which the format
    // itself refuses.
    if (PyUnicode_CheckExact(line) && small_width(width, w) && w - PyUnicode_GET_LENGTH(line) - 3 >= 0) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(line);
        const void* data = PyUnicode_DATA(line);
        switch (PyUnicode_KIND(line)) {
        case PyUnicode_1BYTE_KIND: return text_row(static_cast<const Py_UCS1*>(data), length, w);
        case PyUnicode_2BYTE_KIND: return text_row(static_cast<const Py_UCS2*>(data), length, w);
        default: return text_row(static_cast<const Py_UCS4*>(data), length, w);
        }
    }
    // Any other width or line: the format itself, with its own errors.
    PyObject* templ = id<"| {msg} {l:>{width}}">();
    Py_ssize_t length = PyObject_Size(line);
    if (length < 0) pyglue::fail();
    Ref length_obj = pyglue::check(PyLong_FromSsize_t(length));
    Ref three = pyglue::check(PyLong_FromLong(3));
    Ref field = pyglue::check(PyNumber_Subtract(width, length_obj.get()));
    field = pyglue::check(PyNumber_Subtract(field.get(), three.get()));
    Ref bar = pyglue::text("|");
    return pyglue::format_named<"msg", "l", "width">(templ, {line, bar.get(), field.get()});
}

// -------------------------------------------------------------- Msg

Signature msg_init_sig("Msg.__init__", {"self", "msg", "level='info'"});

PyObject* msg_init(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&] {
        auto [self, msg, level] = msg_init_sig.bind(args, nargs, kwnames);
        pyglue::setattr(self, id<"msg">(), msg);
        pyglue::setattr(self, id<"level">(), level);
        return pyglue::none();
    });
}

const pyglue::FunctionDef msg_init_def = pyglue::function_def("__init__", msg_init, msg_init_sig, nullptr);

// Msg(row, level=level) through the module global, as the method body calls
// it. While Msg is untouched, calling it means allocating an instance and
// assigning its two attributes, which is done directly.
Ref new_msg(PyObject* msg_class, PyObject* row, PyObject* level) {
    if (msg_class == pyglue::state().kept[kMsg].get() && type_unchanged(msg_class, kMsgDict, kMsgTag)) {
        // object.__new__, which also lays out the instance's attribute storage.
        auto* type = reinterpret_cast<PyTypeObject*>(msg_class);
        Ref no_args = pyglue::check(PyTuple_New(0));
        Ref instance = pyglue::check(type->tp_new(type, no_args.get(), nullptr));
        pyglue::setattr(instance.get(), id<"msg">(), row);
        pyglue::setattr(instance.get(), id<"level">(), level);
        return instance;
    }
    return pyglue::call_named<"level">(msg_class, {row}, {level});
}

// -------------------------------------------------------------- Summary

PyObject* frame_line(PyObject* width, const char* fill, const char* templ, bool title) {
    Ref two = pyglue::check(PyLong_FromLong(2));
    Ref count = pyglue::check(PyNumber_Subtract(width, two.get()));
    Ref fill_text = pyglue::text(fill);
    Ref middle = pyglue::check(PyNumber_Multiply(fill_text.get(), count.get()));
    Ref templ_text = pyglue::text(templ);
    if (title) return pyglue::format_named<"m">(templ_text.get(), {middle.get()}).release();
    Ref bar = pyglue::text("|");
    return pyglue::format_named<"s", "m">(templ_text.get(), {bar.get(), middle.get()}).release();
}

Signature init_sig("Summary.__init__", {"self", "title", "width"});

PyObject* summary_init(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&] {
        auto [self, title, width] = init_sig.bind(args, nargs, kwnames);
        Ref four = pyglue::check(PyLong_FromLong(4));
        pyglue::setattr(self, id<"lenght">(), four.get());
        pyglue::setattr(self, id<"title">(), title);
        pyglue::setattr(self, id<"width">(), width);
        Ref msgs = pyglue::check(PyList_New(0));
        pyglue::setattr(self, id<"summary_msgs">(), msgs.get());
        Ref line = Ref::steal(frame_line(width, "=", "+{m}+", true));
        pyglue::setattr(self, id<"title_line">(), line.get());
        line = Ref::steal(frame_line(width, "=", "{s}{m}{s}", false));
        pyglue::setattr(self, id<"subtitle_line">(), line.get());
        line = Ref::steal(frame_line(width, "-", "{s}{m}{s}", false));
        pyglue::setattr(self, id<"sep_line">(), line.get());
        line = Ref::steal(frame_line(width, "*", "{s}{m}{s}", false));
        pyglue::setattr(self, id<"star_line">(), line.get());
        pyglue::call_method(self, id<"add_title_line">());
        pyglue::call_method(self, id<"add_message">(), title);
        pyglue::call_method(self, id<"add_title_line">());
        return pyglue::none();
    });
}

// self.summary_msgs.append(Msg(<row>, level=level)), evaluated in Python's
// order: the list, its append, the global Msg, then the row.
template <class Row>
void queue_msg(PyObject* self, Row&& row, PyObject* level) {
    Ref msgs = pyglue::getattr(self, id<"summary_msgs">());
    Ref append = PyList_CheckExact(msgs.get()) ? Ref() : pyglue::getattr(msgs.get(), id<"append">());
    Ref msg_class = global(pyglue::this_module(), id<"Msg">());
    Ref text = row();
    Ref queued = new_msg(msg_class.get(), text.get(), level);
    if (append) pyglue::call(append.get(), queued.get());
    else pyglue::check_status(PyList_Append(msgs.get(), queued.get()));
}

// self.summary_msgs.append(Msg(self.<line>, level="info")): the four
// frame-line methods differ only in their name and the stored line.
template <pyglue::Literal Method, pyglue::Literal Qualname, pyglue::Literal Line>
struct FrameLine {
    static const Signature<1>& sig() {
        static const Signature<1> s(Qualname.text, {"self"});
        return s;
    }

    static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return pyglue::entry([&] {
            auto [self] = sig().bind(args, nargs, kwnames);
            queue_msg(self, [&] { return pyglue::getattr(self, id<Line>()); }, id<"info">());
            return pyglue::none();
        });
    }

    static const pyglue::FunctionDef& def() {
        static const pyglue::FunctionDef d = pyglue::function_def(Method.text, call, sig(), nullptr);
        return d;
    }
};

using AddTitleLine = FrameLine<"add_title_line", "Summary.add_title_line", "title_line">;
using AddSubtitleLine = FrameLine<"add_subtitle_line", "Summary.add_subtitle_line", "subtitle_line">;
using AddSepLine = FrameLine<"add_sep_line", "Summary.add_sep_line", "sep_line">;
using AddStarLine = FrameLine<"add_star_line", "Summary.add_star_line", "star_line">;

// One line of a wrapped message: the line textwrap returned, or (wrapped
// natively) its row already built for `width` and the line's length.
struct WrappedLine {
    Ref text;
    Ref row;
    Py_ssize_t width = 0;
    Py_ssize_t length = 0;
};

// textwrap.wrap(text, self.width - 4), natively where that gives the same.
// Returns textwrap's result, or an empty Ref when the lines went to `native`.
Ref wrap_message(PyObject* self, PyObject* text, std::vector<WrappedLine>& native) {
    Ref textwrap = global(pyglue::this_module(), id<"textwrap">());
    Ref wrap = pyglue::getattr(textwrap.get(), id<"wrap">());
    Ref width = pyglue::getattr(self, id<"width">());
    Py_ssize_t w = 0;
    // textwrap calls the methods of str subclasses, so only exact str is wrapped here.
    if (PyUnicode_CheckExact(text) && small_width(width.get(), w) && w >= 5 &&
        native_wrap_applies(textwrap.get(), wrap.get())) {
        auto behaviour = static_cast<korrin::wrap::Behaviour>(pyglue::state().words[kWrapBehaviour]);
        korrin::wrap::wrap(text, static_cast<std::size_t>(w - 4), behaviour, [&](const auto* line, std::size_t length) {
            auto n = static_cast<Py_ssize_t>(length);
            native.push_back({Ref(), text_row(line, n, w), w, n});
        });
        return Ref();
    }
    Ref four = pyglue::check(PyLong_FromLong(4));
    Ref wrap_width = pyglue::check(PyNumber_Subtract(width.get(), four.get()));
    return pyglue::call(wrap.get(), text, wrap_width.get());
}

// row = "| {msg} {l:>{width}}".format(msg=line, l="|", width=self.width - len(line) - 3)
// self.summary_msgs.append(Msg(row, level=level))
void queue_line(PyObject* self, const WrappedLine& line, PyObject* level) {
    Ref width = pyglue::getattr(self, id<"width">());
    Ref row;
    Py_ssize_t w = 0;
    if (!line.row) {
        row = row_for(line.text.get(), width.get());
    } else if (small_width(width.get(), w) && w == line.width) {
        row = line.row;
    } else {
        // The width changed since the line was wrapped: the row as the format makes it.
        Ref text = pyglue::check(PyUnicode_Substring(line.row.get(), 2, 2 + line.length));
        row = row_for(text.get(), width.get());
    }
    queue_msg(self, [&] { return row; }, level);
}

Signature add_message_sig("Summary.add_message", {"self", "msg", "indent=False", "level='info'"});

PyObject* add_message(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&] {
        auto [self, msg, indent, level] = add_message_sig.bind(args, nargs, kwnames);
        // if len(level) > self.lenght: self.lenght = len(level)
        auto level_length = [&] {
            Py_ssize_t length = PyObject_Size(level);
            if (length < 0) pyglue::fail();
            return pyglue::check(PyLong_FromSsize_t(length));
        };
        Ref lenght = pyglue::getattr(self, id<"lenght">());
        if (pyglue::check_status(PyObject_RichCompareBool(level_length().get(), lenght.get(), Py_GT)))
            pyglue::setattr(self, id<"lenght">(), level_length().get());

        // Every list element is wrapped before the first row is queued; a
        // single text's lines are taken as textwrap's result yields them.
        std::vector<WrappedLine> lines;
        if (pyglue::check_status(PyObject_IsInstance(msg, reinterpret_cast<PyObject*>(&PyList_Type)))) {
            pyglue::for_each(msg, [&](PyObject* item) {
                if (Ref result = wrap_message(self, item, lines))
                    pyglue::for_each(result.get(), [&](PyObject* line) { lines.push_back({Ref::borrow(line)}); });
            });
        } else if (Ref result = wrap_message(self, msg, lines)) {
            pyglue::for_each(result.get(), [&](PyObject* line) { queue_line(self, {Ref::borrow(line)}, level); });
        }
        for (const WrappedLine& line : lines) queue_line(self, line, level);
        return pyglue::none();
    });
}

const pyglue::FunctionDef add_message_def = pyglue::function_def("add_message", add_message, add_message_sig, nullptr);

Signature add_indent_sig("Summary.add_indent", {"self", "msg", "end=True"});

PyObject* add_indent(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&] {
        auto [self, msg, end] = add_indent_sig.bind(args, nargs, kwnames);
        PyObject* prefix = pyglue::truth(end) ? id<"    - ">() : id<"    ">();
        return pyglue::check(PyNumber_Add(prefix, msg));
    });
}

const pyglue::FunctionDef add_indent_def = pyglue::function_def("add_indent", add_indent, add_indent_sig, nullptr);

// Each queued line goes to the logger method its level names; lines whose
// level name is shorter than the longest seen are pushed right by the
// difference, so boxes line up under the record's level prefix. The queued
// records are left as they are, so printing again writes the same box.
Signature print_sig("Summary.print", {"self"});

PyObject* print(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&] {
        auto [self] = print_sig.bind(args, nargs, kwnames);
        PyObject* module = pyglue::this_module();
        Ref msgs = pyglue::getattr(self, id<"summary_msgs">());
        pyglue::for_each(msgs.get(), [&](PyObject* record) {
            Ref level = pyglue::getattr(record, id<"level">());
            Ref text = pyglue::getattr(record, id<"msg">());
            Py_ssize_t level_length = PyObject_Size(level.get());
            if (level_length < 0) pyglue::fail();
            Ref length = pyglue::check(PyLong_FromSsize_t(level_length));
            Ref lenght = pyglue::getattr(self, id<"lenght">());
            if (pyglue::check_status(PyObject_RichCompareBool(length.get(), lenght.get(), Py_LT))) {
                Ref count = pyglue::check(PyNumber_Subtract(lenght.get(), length.get()));
                Ref space = pyglue::text(" ");
                Ref spaces = pyglue::check(PyNumber_Multiply(space.get(), count.get()));
                text = pyglue::check(PyNumber_Add(spaces.get(), text.get()));
            }
            Ref logger = global(module, id<"logger">());
            Ref method = pyglue::check(PyObject_GetAttr(logger.get(), level.get()));
            pyglue::call(method.get(), text.get());
        });
        return pyglue::none();
    });
}

const pyglue::FunctionDef print_def = pyglue::function_def("print", print, print_sig, nullptr);

// -------------------------------------------------------------- sections

Signature summarize_section_sig("Summary.summarize_section",
                                {"self", "message", "device=None", "level='info'", "end=True"});

PyObject* summarize_section(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&] {
        auto [self, message, device, level, end] = summarize_section_sig.bind(args, nargs, kwnames);
        if (pyglue::truth(device)) {
            Ref templ = pyglue::text("* Summary for device: {}");
            Ref header = pyglue::format(templ.get(), {device});
            pyglue::call_method(self, id<"add_message">(), header.get());
            pyglue::call_method(self, id<"add_sep_line">());
        }
        Ref indented = pyglue::call_method(self, id<"add_indent">(), message, end);
        pyglue::call_named<"level">(pyglue::getattr(self, id<"add_message">()).get(), {indented.get()}, {level});
        pyglue::call_method(self, id<"add_subtitle_line">());
        return pyglue::none();
    });
}

const pyglue::FunctionDef summarize_section_def = pyglue::function_def("summarize_section", summarize_section, summarize_section_sig,
                                                         "Build a summary section as per the provided info");

Signature summarize_profile_sig("Summary.summarize_profile",
                                {"self", "device", "diff=None", "golden=False", "PTS=True"});

PyObject* summarize_profile(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&] {
        auto [self, device, diff, golden, pts] = summarize_profile_sig.bind(args, nargs, kwnames);
        Ref templ = pyglue::text("* Summary for device: {}");
        Ref header = pyglue::format(templ.get(), {device});
        pyglue::call_method(self, id<"add_message">(), header.get());

        const char* loc = "original configuration taken at common setup";
        const char* loc2 = "the one taken at common cleanup";
        if (pyglue::truth(pts)) {
            loc = pyglue::truth(golden) ? "pts_golden_config" : "Common Setup snapshot";
            loc2 = "OPS object snapspshot";
        }
        Ref loc_text = pyglue::text(loc);
        Ref error = pyglue::text("error");
        Ref add_message = pyglue::getattr(self, id<"add_message">());
        if (pyglue::truth(diff)) {
            Ref loc2_text = pyglue::text(loc2);
            Ref statement_templ =
                pyglue::text("Comparison between {loc} and {loc2} is different as per the following diffs:\n");
            Ref statement = pyglue::format_named<"loc", "loc2">(statement_templ.get(), {loc_text.get(), loc2_text.get()});
            Ref indented = pyglue::call_method(self, id<"add_indent">(), statement.get());
            pyglue::call_named<"level">(add_message.get(), {indented.get()}, {error.get()});
            Ref diff_text = pyglue::str(diff);
            Ref diff_lines = pyglue::call_method(diff_text.get(), id<"splitlines">());
            pyglue::call_named<"level">(add_message.get(), {diff_lines.get()}, {error.get()});
        } else {
            Ref statement_templ = pyglue::text("Comparison between {loc} and OPS object snapshots are equal");
            Ref statement = pyglue::format_named<"loc">(statement_templ.get(), {loc_text.get()});
            Ref indented = pyglue::call_method(self, id<"add_indent">(), statement.get());
            Ref info = pyglue::text("info");
            pyglue::call_named<"level">(add_message.get(), {indented.get()}, {info.get()});
        }
        pyglue::call_method(self, id<"add_star_line">());
        return pyglue::none();
    });
}

const pyglue::FunctionDef summarize_profile_def =
    pyglue::function_def("summarize_profile", summarize_profile, summarize_profile_sig, "Summarize PTS");

// -------------------------------------------------------------- TriggerSummary

Signature summarize_sig("TriggerSummary.summarize", {"self", "title", "message", "indent=False"});

PyObject* summarize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&] {
        auto [self, title, message, indent] = summarize_sig.bind(args, nargs, kwnames);
        Ref add_message = pyglue::getattr(self, id<"add_message">());
        pyglue::call_named<"indent">(add_message.get(), {title}, {indent});
        pyglue::call_method(self, id<"add_sep_line">());
        add_message = pyglue::getattr(self, id<"add_message">());
        pyglue::call_named<"indent">(add_message.get(), {message}, {indent});
        pyglue::call_method(self, id<"add_subtitle_line">());
        return pyglue::none();
    });
}

const pyglue::FunctionDef summarize_def =
    pyglue::function_def("summarize", summarize, summarize_sig, "Build a summary table as per the provided info");

Signature summarize_trigger_sig("TriggerSummary.summarize_trigger", {"self", "description", "info"});

PyObject* summarize_trigger(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return pyglue::entry([&] {
        auto [self, description, info] = summarize_trigger_sig.bind(args, nargs, kwnames);
        PyObject* module = pyglue::this_module();
        Ref lines = pyglue::call_method(description, id<"splitlines">());
        Ref title = pyglue::text("Description");
        pyglue::call_named<"indent">(pyglue::getattr(self, id<"summarize">()).get(), {title.get(), lines.get()}, {Py_True});
        Ref yaml = global(module, id<"yaml">());
        Ref four = pyglue::check(PyLong_FromLong(4));
        Ref dumped = pyglue::call_named<"default_flow_style", "indent">(pyglue::getattr(yaml.get(), id<"dump">()).get(), {info}, {Py_False, four.get()});
        Ref parameters = pyglue::call_method(dumped.get(), id<"splitlines">());
        title = pyglue::text("Trigger datafile parameters:");
        pyglue::call_named<"indent">(pyglue::getattr(self, id<"summarize">()).get(), {title.get(), parameters.get()}, {Py_True});
        return pyglue::none();
    });
}

const pyglue::FunctionDef summarize_trigger_def = pyglue::function_def("summarize_trigger", summarize_trigger, summarize_trigger_sig,
                                                         "Build a summary table for the trigger");

const pyglue::FunctionDef summary_init_def = pyglue::function_def("__init__", summary_init, init_sig, nullptr);

void exec_module(pyglue::ModuleBuilder& m) {
    using pyglue::method;
    m.import("yaml");
    Ref logging = m.import("logging");
    Ref textwrap = m.import("textwrap");
    Ref logger = pyglue::call_method(logging.get(), id<"getLogger">());
    m.bind("logger", logger.get());

    Ref summary = m.add_class("Summary", nullptr,
                              {method(summary_init_def), method(AddTitleLine::def()), method(AddSubtitleLine::def()),
                               method(AddSepLine::def()), method(AddStarLine::def()), method(add_message_def),
                               method(add_indent_def), method(print_def), method(summarize_section_def),
                               method(summarize_profile_def)});
    m.add_class("TriggerSummary", nullptr, {method(summarize_trigger_def), method(summarize_def)}, summary.get());
    Ref msg = m.add_class("Msg", nullptr, {method(msg_init_def)});

    pyglue::ModuleState& state = pyglue::state();
    Ref text_wrapper = pyglue::getattr(textwrap.get(), id<"TextWrapper">());
    state.kept.resize(kKeptCount);
    state.kept[kTextwrap] = textwrap;
    state.kept[kWrap] = pyglue::getattr(textwrap.get(), id<"wrap">());
    state.kept[kTextWrapper] = text_wrapper;
    state.kept[kTextWrapperDict] = pyglue::check(PyDict_Copy(reinterpret_cast<PyTypeObject*>(text_wrapper.get())->tp_dict));
    state.kept[kMsg] = msg;
    state.kept[kMsgDict] = pyglue::check(PyDict_Copy(reinterpret_cast<PyTypeObject*>(msg.get())->tp_dict));
    state.words.assign(kWordsCount, 0);
    state.words[kWrapBehaviour] = static_cast<std::uint64_t>(korrin::wrap::probe(state.kept[kWrap].get()));
}

}  // namespace

PyMODINIT_FUNC PyInit_summary() { return pyglue::define_module<exec_module>("korrin.utils.summary"); }
