// Whether the native wrapper and the direct Msg construction may stand in for
// the module's textwrap.wrap and Msg: what the module found at import
// (watch()), and the two questions asked before each use, checking that
// nothing of it has been patched since:
// - native_wrapper_may_answer(): may the native wrapper give textwrap.wrap's lines?
// - msg_may_be_made_directly(): may a Msg be made without calling the class?
#pragma once

#include "pyglue/pyglue.hpp"
#include "korrin/utils/summary_wrap.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace korrin::summary {

using pyglue::id;
using pyglue::Ref;

using Items = std::vector<std::pair<Ref, Ref>>;

// A dict's items as seen, and its version then (0: none to go by).
struct DictSnapshot {
    Items items;
    std::uint64_t version = 0;
};

DictSnapshot snapshot_of(PyObject* dict) {
    DictSnapshot seen{{}, pyglue::compat::dict_version(dict)};
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) seen.items.emplace_back(Ref::borrow(key), Ref::borrow(value));
    return seen;
}

// Whether dict `now` holds exactly the items seen (the same key and value
// objects). An unchanged version says so at once; otherwise a walk over its
// entries in the order seen; the same items in another order (an entry
// deleted and put back) are matched by identity and then taken as seen.
// Nothing here runs Python code: a key's __eq__ could call back into the
// module and replace `seen` while it is being walked. A key replaced by an
// equal but distinct object counts as a change, which only costs the plain
// path.
bool same_items(PyObject* now, DictSnapshot& seen) {
    std::uint64_t version = pyglue::compat::dict_version(now);
    if (version != 0 && version == seen.version) return true;
    if (PyDict_GET_SIZE(now) != static_cast<Py_ssize_t>(seen.items.size())) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    bool in_order = true;
    for (const auto& [seen_key, seen_value] : seen.items)
        if (!PyDict_Next(now, &pos, &key, &value) || key != seen_key.get() || value != seen_value.get()) {
            in_order = false;
            break;
        }
    if (in_order) return true;
    using Pair = std::pair<std::uintptr_t, std::uintptr_t>;
    auto pairs = [](const Items& items) {
        std::vector<Pair> out;
        out.reserve(items.size());
        for (const auto& [k, v] : items)
            out.emplace_back(reinterpret_cast<std::uintptr_t>(k.get()), reinterpret_cast<std::uintptr_t>(v.get()));
        std::sort(out.begin(), out.end());
        return out;
    };
    DictSnapshot current = snapshot_of(now);
    if (pairs(current.items) != pairs(seen.items)) return false;
    seen = std::move(current);
    return true;
}

// A function that the native wrapper stands for, with what made it up at
// import: its __code__, __defaults__ and __kwdefaults__ can be assigned, and
// the __kwdefaults__ dict changed in place.
struct WatchedFunction {
    Ref function, code, defaults, kwdefaults;
    DictSnapshot kwdefault_items;

    explicit WatchedFunction(PyObject* f)
        : function(Ref::borrow(f)),
          code(Ref::borrow(PyFunction_GET_CODE(f))),
          defaults(Ref::borrow(PyFunction_GET_DEFAULTS(f))),
          kwdefaults(Ref::borrow(PyFunction_GET_KW_DEFAULTS(f))) {
        if (kwdefaults) kwdefault_items = snapshot_of(kwdefaults.get());
    }

    bool unchanged() {
        PyObject* f = function.get();
        return PyFunction_GET_CODE(f) == code.get() && PyFunction_GET_DEFAULTS(f) == defaults.get() &&
               PyFunction_GET_KW_DEFAULTS(f) == kwdefaults.get() &&
               (!kwdefaults || same_items(kwdefaults.get(), kwdefault_items));
    }
};

int visit_items(const DictSnapshot& seen, visitproc visit, void* arg) {
    for (const auto& [key, value] : seen.items) {
        Py_VISIT(key.get());
        Py_VISIT(value.get());
    }
    return 0;
}

// A class as seen at import: its attributes, and the version tag under which
// they were last found unchanged.
struct TypeSnapshot {
    Ref type;
    DictSnapshot attributes;
    std::uint32_t version = 0;
};

// What the module found at import. The native wrapper stands in for
// textwrap.wrap, and Msg instances are made without the generic call, only
// while the module's `textwrap` global, `textwrap.wrap`,
// `textwrap.TextWrapper` and `Msg` are still those objects, no attribute of
// TextWrapper or Msg has been rebound, and neither the functions of wrap nor
// TextWrapper's whitespace table have been changed in place.
struct SummaryState : pyglue::ModuleState {
    Ref textwrap, wrap;
    TypeSnapshot text_wrapper, msg;
    std::vector<WatchedFunction> wrap_functions;   // textwrap.wrap and TextWrapper's functions
    Ref whitespace_trans;                          // TextWrapper.unicode_whitespace_trans
    DictSnapshot whitespace_items;                 // its items as seen
    korrin::wrap::Behaviour wrap_behaviour = korrin::wrap::Behaviour::textwrap_only;  // what probing wrap found

    int traverse_own(visitproc visit, void* arg) override {
        for (PyObject* o : {textwrap.get(), wrap.get(), text_wrapper.type.get(), msg.type.get(), whitespace_trans.get()})
            Py_VISIT(o);
        for (const DictSnapshot* items : {&text_wrapper.attributes, &msg.attributes, &whitespace_items})
            if (int status = visit_items(*items, visit, arg)) return status;
        for (const WatchedFunction& w : wrap_functions) {
            for (PyObject* o : {w.function.get(), w.code.get(), w.defaults.get(), w.kwdefaults.get()}) Py_VISIT(o);
            if (int status = visit_items(w.kwdefault_items, visit, arg)) return status;
        }
        return 0;
    }

    void clear_own() override {
        textwrap = wrap = whitespace_trans = Ref();
        whitespace_items = DictSnapshot();
        text_wrapper = msg = TypeSnapshot();
        wrap_functions.clear();
    }
};

TypeSnapshot snapshot(PyObject* type) {
    Ref attributes = Ref::steal(pyglue::compat::type_dict(reinterpret_cast<PyTypeObject*>(type)));
    if (!attributes) pyglue::fail();
    return {Ref::borrow(type), snapshot_of(attributes.get()), 0};
}

// Whether the class's attributes are those seen at import. The type's
// version tag changes with any assignment to it or a base; a changed (or
// zero) tag sends us to compare the attributes once, and an undone patch is
// accepted again under the new tag.
bool type_unchanged(TypeSnapshot& seen) {
    auto* type = reinterpret_cast<PyTypeObject*>(seen.type.get());
    std::uint32_t version = pyglue::compat::type_version(type);
    if (version != 0 && version == seen.version) return true;
    Ref now = Ref::steal(pyglue::compat::type_dict(type));
    if (!now) pyglue::fail();
    if (!same_items(now.get(), seen.attributes)) return false;
    seen.version = pyglue::compat::assign_type_version(type);
    return true;
}

// Whether textwrap.wrap (the module `textwrap` and its `wrap` just read) can
// be done natively.
inline bool native_wrapper_may_answer(SummaryState& m, PyObject* textwrap, PyObject* wrap) {
    if (textwrap != m.textwrap.get() || wrap != m.wrap.get() ||
        m.wrap_behaviour == korrin::wrap::Behaviour::textwrap_only)
        return false;
    Ref text_wrapper = pyglue::getattr(textwrap, id<"TextWrapper">(m));
    if (text_wrapper.get() != m.text_wrapper.type.get() || !type_unchanged(m.text_wrapper)) return false;
    for (WatchedFunction& w : m.wrap_functions)
        if (!w.unchanged()) return false;
    return m.whitespace_trans && same_items(m.whitespace_trans.get(), m.whitespace_items);
}

// Whether `msg_class` (the module's Msg just read) is the class made at
// import, untouched since.
inline bool msg_may_be_made_directly(SummaryState& m, PyObject* msg_class) {
    return msg_class == m.msg.type.get() && type_unchanged(m.msg);
}

// What the module found at import: its textwrap module and Msg class.
inline void watch(SummaryState& m, PyObject* textwrap, PyObject* msg) {
    Ref text_wrapper = pyglue::getattr(textwrap, id<"TextWrapper">(m));
    m.textwrap = Ref::borrow(textwrap);
    m.wrap = pyglue::getattr(textwrap, id<"wrap">(m));
    m.text_wrapper = snapshot(text_wrapper.get());
    m.msg = snapshot(msg);
    // The functions textwrap.wrap runs: wrap itself and TextWrapper's own.
    if (PyFunction_Check(m.wrap.get())) m.wrap_functions.emplace_back(m.wrap.get());
    for (const auto& [name, value] : m.text_wrapper.attributes.items)
        if (PyFunction_Check(value.get())) m.wrap_functions.emplace_back(value.get());
    Ref trans = pyglue::getattr(text_wrapper.get(), id<"unicode_whitespace_trans">(m));
    if (PyDict_CheckExact(trans.get())) {
        m.whitespace_trans = trans;
        m.whitespace_items = snapshot_of(trans.get());
    }
    m.wrap_behaviour = korrin::wrap::probe(m.wrap.get());
}

}  // namespace korrin::summary
