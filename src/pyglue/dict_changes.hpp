// Whether a dict changed since an earlier moment, for loops that would
// otherwise look the same key up in it again and again. Up to 3.13 a dict
// carries a version tag that every change bumps. 3.14 has none; there the
// module's dict watcher stands in: every change to a dict it watches bumps
// one counter, so an unchanged counter means none of them changed.
#pragma once

#include "pyglue/compat.hpp"
#include "pyglue/ref.hpp"
#include "pyglue/state.hpp"

#include <atomic>
#include <cstdint>

namespace pyglue {

#if PY_VERSION_HEX >= 0x030E0000
namespace detail {
inline std::atomic<std::uint64_t> watched_dict_changes{1};

inline int count_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    watched_dict_changes.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// The module's watcher, added on first use; -1 when the interpreter has no
// watcher left (nothing is reused then).
inline int module_dict_watcher(ModuleState& m) {
    if (m.dict_watcher == -2) {
        m.dict_watcher = PyDict_AddWatcher(count_dict_change);
        if (m.dict_watcher < 0) PyErr_Clear();
    }
    return m.dict_watcher;
}
}  // namespace detail
#endif

class DictChanges {
public:
    DictChanges(ModuleState& m, PyObject* dict) : dict_(Ref::borrow(dict)) {
#if PY_VERSION_HEX >= 0x030E0000
        // Watched while any loop of this module reads it: nested calls over
        // the same dict share the watch, the last one out ends it.
        int watcher = detail::module_dict_watcher(m);
        if (watcher < 0 || !PyDict_Check(dict)) return;
        int& readers = m.watched_dicts[dict];
        if (readers == 0 && PyDict_Watch(watcher, dict) < 0) {
            PyErr_Clear();
            m.watched_dicts.erase(dict);
            return;
        }
        ++readers;
        m_ = &m;
#else
        (void)m;
#endif
    }

    DictChanges(const DictChanges&) = delete;
    DictChanges& operator=(const DictChanges&) = delete;

    ~DictChanges() {
#if PY_VERSION_HEX >= 0x030E0000
        if (!m_) return;
        auto readers = m_->watched_dicts.find(dict_.get());
        if (readers == m_->watched_dicts.end() || --readers->second > 0) return;
        m_->watched_dicts.erase(readers);
        PyObject* pending = PyErr_GetRaisedException();
        if (PyDict_Unwatch(m_->dict_watcher, dict_.get()) < 0) PyErr_Clear();
        PyErr_SetRaisedException(pending);
#endif
    }

    PyObject* dict() const { return dict_.get(); }

    // A stamp for now: the same non-zero stamp later means the dict did not
    // change in between; 0 means there is no telling.
    std::uint64_t stamp() const {
#if PY_VERSION_HEX >= 0x030E0000
        return m_ ? detail::watched_dict_changes.load(std::memory_order_relaxed) : 0;
#else
        return compat::dict_version(dict_.get());
#endif
    }

private:
    Ref dict_;
#if PY_VERSION_HEX >= 0x030E0000
    ModuleState* m_ = nullptr;
#endif
};

}  // namespace pyglue
