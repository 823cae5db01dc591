// korrin.utils.symfind: loading attributes by dotted name (directly or through
// the device-abstraction lookup), turning bracketed path texts into key lists,
// and checking the regular-expression keys of such paths.
#include "pyglue/pyglue.hpp"
#include "korrin/utils/symfind_scan.hpp"

#include <algorithm>
#include <utility>

using pyglue::global;
using pyglue::id;
using pyglue::Ref;
using pyglue::unpack_two;
using pyglue::while_handling;

namespace {


// ------------------------------------------------------- load_attribute

// importlib.import_module, read from the module's global at each call.
Ref import_module_function(pyglue::ModuleState& m) {
    Ref importlib = global<"importlib">(m);
    return pyglue::getattr(importlib.get(), id<"import_module">(m));
}

Ref load_from_package(pyglue::ModuleState& m, PyObject* pkg, PyObject* attr_name, PyObject* device) {
    Ref pieces = pyglue::call_method(pkg, id<"split">(m), id<".">(m));
    Ref last = pyglue::check(PyLong_FromLong(-1));
    Ref pkg_name = pyglue::check(PyObject_GetItem(pieces.get(), last.get()));
    Ref package = pyglue::call_named<"name">(m, import_module_function(m).get(), {}, {pkg});

    Ref marker;
    Ref missing = pyglue::attempt(PyExc_AttributeError, [&] {
        pyglue::Outcome found = pyglue::try_getattr(package.get(), id<"__abstract_pkg">(m));
        marker = found.take();
        return found;
    });
    if (missing) marker = pyglue::none();

    Ref attribute;
    Ref items;
    if (pyglue::truth(marker.get())) {
        Ref lookup = global<"Lookup">(m);
        Ref from_device = pyglue::getattr(lookup.get(), id<"from_device">(m));
        Ref packages = pyglue::check(PyDict_New());
        pyglue::check_status(PyDict_SetItem(packages.get(), pkg_name.get(), package.get()));
        attribute = pyglue::call_named<"packages">(m, from_device.get(), {device}, {packages.get()});
        Ref head = pyglue::check(PyList_New(1));
        PyList_SET_ITEM(head.get(), 0, pkg_name.new_ref());
        Ref rest = pyglue::call_method(attr_name, id<"split">(m), id<".">(m));
        items = pyglue::check(PyNumber_Add(head.get(), rest.get()));
    } else {
        attribute = package;
        items = pyglue::call_method(attr_name, id<"split">(m), id<".">(m));
    }

    pyglue::for_each(items.get(), [&](PyObject* item) {
        Ref next;
        Ref caught = pyglue::attempt(PyExc_Exception, [&] {
            pyglue::Outcome found = pyglue::try_getattr(attribute.get(), item);
            next = found.take();
            return found;
        });
        if (!caught) {
            attribute = std::move(next);
            return;
        }
        if (!pyglue::is_instance_of(caught.get(), PyExc_LookupError)) return;
        // A device without an implementation is reported; other misses are skipped.
        bool unimplemented = false;
        Ref message;
        while_handling(caught.get(), [&] {
            Ref text = pyglue::str(caught.get());
            unimplemented = pyglue::check_status(PySequence_Contains(text.get(), id<"abstraction package">(m))) != 0;
            if (!unimplemented) return;
            Ref name = pyglue::getattr(device, id<"name">(m));
            message = pyglue::format(m, id<"Could not find {}.{} for device {}">(m), {pkg, attr_name, name.get()});
        });
        if (unimplemented)
            pyglue::raise_new_in_handler(PyExc_LookupError, message.get(), caught.get(), pyglue::Chain::Context);
    });
    return attribute;
}

Ref load_from_module(pyglue::ModuleState& m, PyObject* attr_name) {
    Ref one = pyglue::check(PyLong_FromLong(1));
    Ref pieces = pyglue::call_method(attr_name, id<"rsplit">(m), id<".">(m), one.get());
    auto [path, name] = unpack_two(m, pieces.get());
    Ref found_in = pyglue::call(import_module_function(m).get(), path.get());
    Ref value;
    Ref caught = pyglue::attempt(PyExc_AttributeError, [&] {
        pyglue::Outcome found = pyglue::try_getattr(found_in.get(), name.get());
        value = found.take();
        return found;
    });
    if (!caught) return value;
    Ref message;
    while_handling(caught.get(), [&] {
        message = pyglue::format_named<"name", "mod">(m, id<"Couldn't find '{name}' in '{mod}'">(m), {name.get(), found_in.get()});
    });
    pyglue::raise_new_in_handler(PyExc_AttributeError, message.get(), caught.get(), pyglue::Chain::Cause);
}

Ref load_attribute(pyglue::ModuleState& m, const pyglue::Args<3>& a) {
    auto [pkg, attr_name, device] = a;
    if (pyglue::truth(pkg)) return load_from_package(m, pkg, attr_name, device);
    return load_from_module(m, attr_name);
}

// ------------------------------------------------------------ str_to_list

// False only when int() of the token (each "~" read as a space) certainly
// fails: int() takes surrounding whitespace, one leading sign, and decimal
// digits of any script with single underscores between them. Anything that
// passes goes to int() itself.
bool may_be_integer(const char32_t* begin, const char32_t* end) {
    auto blank = [](char32_t c) { return c == U'~' || symfind::chars::space(c); };
    while (begin != end && blank(*begin)) ++begin;
    while (begin != end && blank(end[-1])) --end;
    if (begin != end && (*begin == U'+' || *begin == U'-')) ++begin;
    if (begin == end) return false;
    for (const char32_t* p = begin; p != end; ++p) {
        char32_t c = *p;
        if ((c >= U'0' && c <= U'9') || c == U'_') continue;
        if (c >= 128 && Py_UNICODE_TODECIMAL(static_cast<Py_UCS4>(c)) >= 0) continue;
        return false;
    }
    return true;
}

// The token as a str, each "~" read as a space.
Ref token_text(const char32_t* begin, const char32_t* end) {
    Py_UCS4 widest = 0;
    for (const char32_t* p = begin; p != end; ++p) widest = std::max<Py_UCS4>(widest, *p);
    Ref text = pyglue::check(PyUnicode_New(end - begin, widest));
    int kind = PyUnicode_KIND(text.get());
    void* data = PyUnicode_DATA(text.get());
    Py_ssize_t i = 0;
    for (const char32_t* p = begin; p != end; ++p) PyUnicode_WRITE(kind, data, i++, *p == U'~' ? U' ' : *p);
    return text;
}

// int(token), or the token itself when that raises an Exception.
Ref key_for(const char32_t* begin, const char32_t* end) {
    Ref text = token_text(begin, end);
    if (!may_be_integer(begin, end)) return text;
    Ref number;
    Ref failed = pyglue::attempt(PyExc_Exception, [&] {
        pyglue::Outcome parsed = pyglue::Outcome::of(PyLong_FromUnicodeObject(text.get(), 10));
        number = parsed.take();
        return parsed;
    });
    return failed ? text : number;
}

template <class Char>
void widen(const void* data, symfind::Text& text) {
    const Char* from = static_cast<const Char*>(data);
    for (char32_t& c : text) c = *from++;
}

symfind::Text copy_text(PyObject* string) {
    symfind::Text text(static_cast<std::size_t>(PyUnicode_GET_LENGTH(string)), U'\0');
    const void* data = PyUnicode_DATA(string);
    switch (PyUnicode_KIND(string)) {
        case PyUnicode_1BYTE_KIND: widen<Py_UCS1>(data, text); break;
        case PyUnicode_2BYTE_KIND: widen<Py_UCS2>(data, text); break;
        default: widen<Py_UCS4>(data, text); break;
    }
    return text;
}

// A path that is not a str fails the way the first regular-expression search
// over it does.
[[noreturn]] void reject_path(pyglue::ModuleState& m, PyObject* string) {
    Ref re = global<"re">(m);
    Ref pattern = pyglue::text("\\(.*?\\)");
    pyglue::call_method(re.get(), id<"findall">(m), pattern.get(), string);
    PyErr_Format(PyExc_TypeError, "expected string or bytes-like object, got '%.200s'", Py_TYPE(string)->tp_name);
    pyglue::fail();
}

Ref str_to_list(pyglue::ModuleState& m, const pyglue::Args<1>& a) {
    auto [string] = a;
    if (!PyUnicode_Check(string)) reject_path(m, string);
    symfind::Text text = copy_text(string);
    symfind::rewrite_path(text);

    Ref deque = global<"deque">(m);
    Ref result = pyglue::call(deque.get());
    Ref append;
    const char32_t* p = text.data();
    const char32_t* end = p + text.size();
    while (p != end) {
        if (symfind::chars::space(*p)) {
            ++p;
            continue;
        }
        const char32_t* start = p;
        while (p != end && !symfind::chars::space(*p)) ++p;
        Ref key = key_for(start, p);
        if (!append) append = pyglue::getattr(result.get(), id<"append">(m));
        pyglue::call(append.get(), key.get());
    }
    return result;
}

// ----------------------------------------------------- structure_verifier

Ref structure_verifier(pyglue::ModuleState& m, const pyglue::Args<2>& a) {
    auto [string, data] = a;
    (void)data;
    Ref parse = global<"str_to_list">(m);
    Ref keys = pyglue::call(parse.get(), string);
    Ref opening = pyglue::text("(");
    pyglue::for_each(keys.get(), [&](PyObject* key) {
        Ref starts = pyglue::call_method(key, id<"startswith">(m), opening.get());
        if (!pyglue::truth(starts.get())) return true;
        Ref compiled;
        Ref caught = pyglue::attempt(PyExc_Exception, [&] {
            Ref re = global<"re">(m);
            pyglue::Outcome pattern = pyglue::try_call_method(re.get(), id<"compile">(m), key);
            compiled = pattern.take();
            return pattern;
        });
        if (caught) {
            Ref message;
            while_handling(caught.get(), [&] {
                message = pyglue::format_named<"key">(m, id<"'{key}' is not a valid regex expression">(m), {key});
            });
            pyglue::raise_new_in_handler(PyExc_ValueError, message.get(), caught.get(), pyglue::Chain::Cause);
        }
        // Only "(.*)" keys let the check go on to the next key.
        Ref pattern = pyglue::getattr(compiled.get(), id<"pattern">(m));
        Ref any = pyglue::text("(.*)");
        Ref differs = pyglue::check(PyObject_RichCompare(pattern.get(), any.get(), Py_NE));
        return !pyglue::truth(differs.get());
    });
    return pyglue::none();
}

const auto load_attribute_def = pyglue::def("load_attribute", {"pkg", "attr_name", "device=None"}, nullptr, load_attribute);
const auto str_to_list_def = pyglue::def("str_to_list", {"string"}, nullptr, str_to_list);
const auto structure_verifier_def = pyglue::def("structure_verifier", {"string", "data"}, nullptr, structure_verifier);

void exec_module(pyglue::ModuleBuilder& b) {
    b.import("re");
    b.import("importlib");
    b.import_from("collections", "deque");
    b.import_from("korrin.abstract", "Lookup");
    b.add_function(load_attribute_def);
    b.add_function(str_to_list_def);
    b.add_function(structure_verifier_def);
}

}  // namespace

PyMODINIT_FUNC PyInit_symfind() { return pyglue::define_module<exec_module>("korrin.utils.symfind"); }
