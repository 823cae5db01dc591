// Per-module state. Every import of a module (a re-import, another
// interpreter) gets its own: interned names, the builtins it was executed
// with, the function type, and what the module keeps between calls (a struct
// of the module's own deriving from ModuleState). Native functions hold their
// module and hand its state to their bodies; nothing reaches it through the
// thread, which greenlets and re-entrant calls share.
#pragma once

#include "pyglue/ref.hpp"

#include <unordered_map>
#include <vector>

namespace pyglue {

struct ModuleState {
    virtual ~ModuleState() {
#if PY_VERSION_HEX >= 0x030E0000
        if (dict_watcher >= 0) {
            PyObject* pending = PyErr_GetRaisedException();
            if (PyDict_ClearWatcher(dict_watcher) < 0) PyErr_Clear();
            PyErr_SetRaisedException(pending);
        }
#endif
    }

    PyObject* module = nullptr;          // borrowed: the module owns its state
    Ref builtins;                        // the builtins of the interpreter that ran the module's exec
    std::vector<Ref> ids;                // id<"...">() by slot
    std::vector<Ref> keyword_tuples;     // keywords<"...", ...>() by slot
    Ref function_type;
    Ref twins;                           // interpreter_twin(): made on first use
#if PY_VERSION_HEX >= 0x030E0000
    int dict_watcher = -2;               // DictChanges: added on first use (-1: none left)
    std::unordered_map<PyObject*, int> watched_dicts;  // dict -> loops reading it
#endif

    // What a module keeps of its own, for the garbage collector.
    virtual int traverse_own(visitproc, void*) { return 0; }
    virtual void clear_own() {}
};

namespace detail {
// The texts of every id<> in this extension, each given a slot when the
// library is loaded; the table is fixed before any module runs.
inline std::vector<const char*>& id_texts() {
    static std::vector<const char*> texts;
    return texts;
}

inline std::size_t register_id(const char* text) {
    id_texts().push_back(text);
    return id_texts().size() - 1;
}

template <Literal L>
inline const std::size_t id_slot = register_id(L.text);

// Likewise the keyword-name tuples of calls with fixed keywords.
inline std::vector<std::vector<const char*>>& keyword_lists() {
    static std::vector<std::vector<const char*>> lists;
    return lists;
}

inline std::size_t register_keywords(std::vector<const char*> names) {
    keyword_lists().push_back(std::move(names));
    return keyword_lists().size() - 1;
}

template <Literal... L>
inline const std::size_t keywords_slot = register_keywords({L.text...});

[[noreturn]] inline void state_cleared() { raise(PyExc_SystemError, "module state was cleared"); }
}  // namespace detail

// An interned str for a fixed name, made once per module object.
template <Literal L>
PyObject* id(const ModuleState& m) {
    std::size_t slot = detail::id_slot<L>;
    if (slot >= m.ids.size()) [[unlikely]] detail::state_cleared();
    return m.ids[slot].get();
}

// The tuple of keyword names for a vectorcall passing these keywords, made
// once per module object.
template <Literal... L>
PyObject* keywords(const ModuleState& m) {
    std::size_t slot = detail::keywords_slot<L...>;
    if (slot >= m.keyword_tuples.size()) [[unlikely]] detail::state_cleared();
    return m.keyword_tuples[slot].get();
}

}  // namespace pyglue
