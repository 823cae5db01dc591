// Per-module state. Every import of a module (a re-import, another
// interpreter) gets its own: interned names, the function type, and what the
// module keeps between calls. Code reaches the state of the module whose
// function is running through the calling thread's current frame, which the
// function type sets on entry.
#pragma once

#include "pyglue/ref.hpp"

#include <cstdint>
#include <vector>

namespace pyglue {

struct ModuleState {
    PyObject* module = nullptr;          // borrowed: the module owns its state
    std::vector<Ref> ids;                // id<"...">() by slot
    std::vector<Ref> keyword_tuples;     // keywords<"...", ...>() by slot
    Ref function_type;
    std::vector<Ref> kept;               // objects a module keeps, indexed by its own enum
    std::vector<std::uint64_t> words;    // plain values a module keeps (e.g. type version tags)
};

// What the running native function belongs to. Saved and restored around
// every call, so nested calls into other modules see their own.
struct Frame {
    ModuleState* state = nullptr;
    PyObject* function = nullptr;
};

[[gnu::tls_model("initial-exec")]] inline thread_local Frame current_frame;

class FrameScope {
public:
    FrameScope(ModuleState* state, PyObject* function) noexcept : saved_(current_frame) {
        current_frame = {state, function};
    }
    ~FrameScope() { current_frame = saved_; }
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;

private:
    Frame saved_;
};

inline ModuleState& state() {
    ModuleState* s = current_frame.state;
    if (!s || !s->module) raise(PyExc_SystemError, "no module state for this call");
    return *s;
}

// The module of the running function: its globals are the function's globals.
inline PyObject* this_module() { return state().module; }

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
}  // namespace detail

// An interned str for a fixed name, made once per module object.
template <Literal L>
PyObject* id() {
    ModuleState& s = state();
    std::size_t slot = detail::id_slot<L>;
    PyObject* interned = slot < s.ids.size() ? s.ids[slot].get() : nullptr;
    if (!interned) raise(PyExc_SystemError, "module state was cleared");
    return interned;
}

// The tuple of keyword names for a vectorcall passing these keywords, made
// once per module object.
template <Literal... L>
PyObject* keywords() {
    ModuleState& s = state();
    std::size_t slot = detail::keywords_slot<L...>;
    PyObject* names = slot < s.keyword_tuples.size() ? s.keyword_tuples[slot].get() : nullptr;
    if (!names) raise(PyExc_SystemError, "module state was cleared");
    return names;
}

}  // namespace pyglue
