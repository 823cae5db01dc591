// The text path of Config.tree: one pass over the configuration text,
// placing every kept line into nested dicts by its indentation.
#pragma once

#include "pyglue/pyglue.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

namespace config_scan {

using pyglue::Ref;

// ------------------------------------------------------------ characters

// str.strip()'s notion of whitespace, tabulated for the one-byte range.
struct SpaceTable {
    bool space[256];
    SpaceTable() {
        for (Py_UCS4 c = 0; c < 256; ++c) space[c] = Py_UNICODE_ISSPACE(c);
    }
};

inline const SpaceTable& space_table() {
    static const SpaceTable table;
    return table;
}

template <class Char>
inline bool is_space(const SpaceTable& table, Char c) {
    if constexpr (sizeof(Char) == 1) return table.space[c];
    else return c < 256 ? table.space[c] : Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c));
}

template <class Char>
inline const Char* find_newline(const Char* p, const Char* end) {
    if constexpr (sizeof(Char) == 1) {
        const void* hit = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        return hit ? static_cast<const Char*>(hit) : end;
    } else {
        while (p < end && *p != '\n') ++p;
        return p;
    }
}

inline std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

// Code points of a str against `len` units of `kind` at `data`.
inline bool same_text(PyObject* s, int kind, const void* data, Py_ssize_t len) {
    if (PyUnicode_GET_LENGTH(s) != len) return false;
    int s_kind = PyUnicode_KIND(s);
    const void* s_data = PyUnicode_DATA(s);
    if (s_kind == kind) return std::memcmp(s_data, data, static_cast<std::size_t>(len) * kind) == 0;
    for (Py_ssize_t i = 0; i < len; ++i)
        if (PyUnicode_READ(s_kind, s_data, i) != PyUnicode_READ(kind, data, i)) return false;
    return true;
}

// ------------------------------------------------------------ key strings

// What one pass over a key's code units tells: its hash, whether a "\r" or
// ETX needs rewriting, and whether the text is pure ASCII (one-byte text only).
//
// The hash is the one hash of text here, equal for equal code points of any
// kind (a line of a two-byte text may equal a one-byte str). It takes eight
// code points at a time as one word of their low bytes, which is how a
// one-byte text lies in memory; bits above the low byte, which no one-byte
// text has, are folded in at the end.
struct Survey {
    std::uint64_t hash;
    bool special;
    bool ascii;
};

inline std::uint64_t has_byte(std::uint64_t w, std::uint64_t byte) {
    std::uint64_t v = w ^ (byte * 0x0101010101010101ULL);
    return (v - 0x0101010101010101ULL) & ~v & 0x8080808080808080ULL;
}

inline std::uint64_t hash_seed(Py_ssize_t len) { return 0x9E3779B97F4A7C15ULL ^ static_cast<std::uint64_t>(len); }

inline void hash_word(std::uint64_t& h, std::uint64_t w) {
    h = (h ^ w) * 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 29;
}

// One-byte text, read a word at a time.
inline Survey survey(const Py_UCS1* p, Py_ssize_t len) {
    std::uint64_t h = hash_seed(len);
    std::uint64_t any = 0, special = 0;
    auto take = [&](std::uint64_t w) {
        // The first character in the low byte, as the wider kinds build their words.
        if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
        hash_word(h, w);
        any |= w;
        special |= has_byte(w, '\r') | has_byte(w, 3);
    };
    std::uint64_t w;
    if (len >= 8) {
        const Py_UCS1* end = p + len;
        for (; end - p >= 8; p += 8) {
            std::memcpy(&w, p, 8);
            take(w);
        }
        if (p < end) {
            // The last word overlaps what was taken, which changes nothing.
            std::memcpy(&w, end - 8, 8);
            take(w);
        }
    } else {
        // Zero padding cannot pass for "\r", ETX or a non-ASCII byte.
        w = 0;
        for (Py_ssize_t i = 0; i < len; ++i) w |= std::uint64_t{p[i]} << (8 * i);
        take(w);
    }
    return Survey{mix(h), special != 0, (any & 0x8080808080808080ULL) == 0};
}

// Wider text: the same words, built from the low bytes.
template <class Char>
Survey survey(const Char* p, Py_ssize_t len) {
    std::uint64_t h = hash_seed(len);
    std::uint64_t high = 0;
    bool special = false;
    auto word = [&](const Char* q, Py_ssize_t n) {
        std::uint64_t w = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            w |= std::uint64_t{static_cast<std::uint8_t>(q[i])} << (8 * i);
            high |= q[i] >> 8;
        }
        return w;
    };
    for (Py_ssize_t i = 0; i < len; ++i) special |= (p[i] == '\r') | (p[i] == 3);
    if (len >= 8) {
        Py_ssize_t i = 0;
        for (; len - i >= 8; i += 8) hash_word(h, word(p + i, 8));
        if (i < len) hash_word(h, word(p + len - 8, 8));
    } else {
        hash_word(h, word(p, len));
    }
    if (high) hash_word(h, mix(high));
    return Survey{mix(h), special, false};
}

inline std::uint64_t text_hash(int kind, const void* data, Py_ssize_t len) {
    switch (kind) {
    case PyUnicode_1BYTE_KIND: return survey(static_cast<const Py_UCS1*>(data), len).hash;
    case PyUnicode_2BYTE_KIND: return survey(static_cast<const Py_UCS2*>(data), len).hash;
    default: return survey(static_cast<const Py_UCS4*>(data), len).hash;
    }
}

// Running configurations repeat many lines ("no shutdown", "exit", ...):
// a small direct-mapped table hands out the same str object for the same
// text, which saves the allocation and lets dict lookups match by identity.
// Evicted keys are released at the end, not when evicted: by then they are
// far away in memory and touching them costs more than the whole line.
class KeyCache {
public:
    // Sized to the text, one slot per 32 characters (about a line of a
    // running configuration, so a text's distinct lines mostly find slots of
    // their own), up to kMaxSlots: a table bigger than the first-level cache
    // only adds misses, and a short text needs few slots.
    explicit KeyCache(Py_ssize_t text_len) {
        while (mask_ + 1 < kMaxSlots && static_cast<Py_ssize_t>(mask_ + 1) * 32 < text_len) mask_ = mask_ * 2 + 1;
        slots_.reset(new Slot[mask_ + 1]());
    }
    KeyCache(const KeyCache&) = delete;
    KeyCache& operator=(const KeyCache&) = delete;

    // `data` holds `len` units of `kind`; `s` is what survey() said of them.
    Ref get(int kind, const void* data, Py_ssize_t len, const Survey& s) {
        Slot& slot = slots_[s.hash & mask_];
        if (slot.key && slot.hash == s.hash && same_text(slot.key.get(), kind, data, len)) return slot.key;
        Ref key = make(kind, data, len, s.ascii);
        if (slot.key) evicted_.push_back(std::move(slot.key));
        slot.key = key;
        slot.hash = s.hash;
        return key;
    }

private:
    static Ref make(int kind, const void* data, Py_ssize_t len, bool ascii) {
        if (!ascii || len < 2) return pyglue::check(PyUnicode_FromKindAndData(kind, data, len));
        Ref key = pyglue::check(PyUnicode_New(len, 127));
        std::memcpy(PyUnicode_DATA(key.get()), data, static_cast<std::size_t>(len));
        return key;
    }

    // 1024 slots of 16 bytes: 16 KiB, half of a usual 32 KiB first-level data cache.
    static constexpr std::size_t kMaxSlots = 1 << 10;
    struct Slot {
        Ref key;
        std::uint64_t hash = 0;
    };
    std::size_t mask_ = 15;
    std::unique_ptr<Slot[]> slots_;
    std::vector<Ref> evicted_;
};

// ------------------------------------------------------------ exclusions

// `line in exclude` without calling back into Python, valid when `exclude`
// is a plain list or tuple of plain str and None: None never equals a str,
// and str equality is code point equality.
class ExcludeSet {
public:
    // False when `exclude` holds anything whose equality could run Python code.
    bool build(PyObject* exclude) {
        if (!PyList_CheckExact(exclude) && !PyTuple_CheckExact(exclude)) return false;
        PyObject* const* items = PySequence_Fast_ITEMS(exclude);
        Py_ssize_t count = PySequence_Fast_GET_SIZE(exclude);
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = items[i];
            if (item == Py_None) continue;
            if (!PyUnicode_CheckExact(item)) return false;
            pyglue::ready(item);
            entries_.push_back(Ref::borrow(item));
        }
        for (const Ref& entry : entries_) {
            Py_ssize_t len = PyUnicode_GET_LENGTH(entry.get());
            lengths_[length_bit(len) / 64] |= std::uint64_t{1} << (length_bit(len) % 64);
            by_hash_.emplace(text_hash(PyUnicode_KIND(entry.get()), PyUnicode_DATA(entry.get()), len),
                             entry.get());
        }
        return true;
    }

    bool contains(int kind, const void* data, Py_ssize_t len) const {
        std::size_t bit = length_bit(len);
        if (!(lengths_[bit / 64] >> (bit % 64) & 1)) return false;
        auto [first, last] = by_hash_.equal_range(text_hash(kind, data, len));
        for (auto it = first; it != last; ++it)
            if (same_text(it->second, kind, data, len)) return true;
        return false;
    }

private:
    static std::size_t length_bit(Py_ssize_t len) { return len < 255 ? static_cast<std::size_t>(len) : 255; }

    std::vector<Ref> entries_;
    std::uint64_t lengths_[4] = {};
    std::unordered_multimap<std::uint64_t, PyObject*> by_hash_;  // borrowed from entries_
};

// ------------------------------------------------------------ the tree

class TreeBuilder {
public:
    // `owner` is the Config instance, whose `exclude` is read when the first
    // line arrives; `config` is the root dict, already stored in `owner`;
    // `size_hint` is about the length of the text.
    TreeBuilder(const pyglue::ModuleState& m, PyObject* owner, PyObject* config, Py_ssize_t size_hint)
        : m_(m),
          owner_(owner),
          table_(space_table()),
          curr_(Ref::borrow(config)),
          future_(Ref::borrow(config)),
          keys_(size_hint) {
        levels_.push_back(Level{0, Ref::borrow(config)});
    }

    // The whole text of a str, split on "\n" only.
    void scan_text(PyObject* text) {
        pyglue::ready(text);
        const void* data = PyUnicode_DATA(text);
        Py_ssize_t len = PyUnicode_GET_LENGTH(text);
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND: return scan(static_cast<const Py_UCS1*>(data), len);
            case PyUnicode_2BYTE_KIND: return scan(static_cast<const Py_UCS2*>(data), len);
            default: return scan(static_cast<const Py_UCS4*>(data), len);
        }
    }

    // Pieces already split (by a str subclass's own split): each one a line.
    void scan_pieces(PyObject* pieces) {
        pyglue::for_each(pieces, [&](PyObject* piece) {
            if (!PyUnicode_Check(piece)) {
                // Let the object fail the way line.strip() fails on it.
                pyglue::call_method(piece, pyglue::id<"strip">(m_));
                PyErr_Format(PyExc_TypeError, "configuration lines must be str, not %.200s",
                             Py_TYPE(piece)->tp_name);
                pyglue::fail();
            }
            pyglue::ready(piece);
            const void* data = PyUnicode_DATA(piece);
            Py_ssize_t len = PyUnicode_GET_LENGTH(piece);
            switch (PyUnicode_KIND(piece)) {
                case PyUnicode_1BYTE_KIND: line(static_cast<const Py_UCS1*>(data), static_cast<const Py_UCS1*>(data) + len); break;
                case PyUnicode_2BYTE_KIND: line(static_cast<const Py_UCS2*>(data), static_cast<const Py_UCS2*>(data) + len); break;
                default: line(static_cast<const Py_UCS4*>(data), static_cast<const Py_UCS4*>(data) + len); break;
            }
            tick();
        });
    }

private:
    struct Level {
        Py_ssize_t indentation;
        Ref data;
    };

    template <class Char>
    void scan(const Char* data, Py_ssize_t len) {
        const Char* p = data;
        const Char* end = data + len;
        for (;;) {
            const Char* newline = find_newline(p, end);
            line(p, newline);
            if (newline == end) break;
            p = newline + 1;
            tick();
        }
    }

    // Lets Ctrl-C through on very large texts.
    void tick() {
        if ((++lines_ & 0xFFFF) == 0 && PyErr_CheckSignals() < 0) pyglue::fail();
    }

    template <class Char>
    void line(const Char* begin, const Char* end) {
        constexpr int kind = sizeof(Char);
        const Char* first = begin;
        while (first < end && is_space(table_, *first)) ++first;
        const Char* last = end;
        while (last > first && is_space(table_, last[-1])) --last;
        Py_ssize_t stripped_len = last - first;

        if (!exclude_read_) read_exclude();
        if (fast_exclude_) {
            if (stripped_len && *first == '!') return;
            if (exclude_.contains(kind, first, stripped_len)) return;
        } else if (slow_excluded(kind, first, stripped_len)) {
            return;
        }

        // Carriage returns vanish before the indentation is counted.
        Py_ssize_t indentation = first - begin;
        for (const Char* p = begin; p < first; ++p) indentation -= *p == '\r';

        Survey facts = survey(first, stripped_len);
        Ref key;
        if (!facts.special) {
            key = keys_.get(kind, first, stripped_len, facts);
        } else {
            std::vector<Char> text;
            text.reserve(static_cast<std::size_t>(stripped_len) + 8);
            for (const Char* p = first; p < last; ++p) {
                if (*p == '\r') continue;
                if (*p == 3) {
                    text.push_back('^');
                    text.push_back('C');
                } else {
                    text.push_back(*p);
                }
            }
            Py_ssize_t len = static_cast<Py_ssize_t>(text.size());
            key = keys_.get(kind, text.data(), len, survey(text.data(), len));
        }
        place(key.get(), indentation);
    }

    void read_exclude() {
        exclude_read_ = true;
        exclude_obj_ = pyglue::getattr(owner_, pyglue::id<"exclude">(m_));
        fast_exclude_ = exclude_.build(exclude_obj_.get());
    }

    // `line_strip in self.exclude or line_strip.startswith("!")`, with
    // Python's own equality; the attribute is read for each line, as the
    // equality of an entry may be any Python code.
    bool slow_excluded(int kind, const void* first, Py_ssize_t len) {
        Ref exclude = exclude_obj_ ? std::move(exclude_obj_) : pyglue::getattr(owner_, pyglue::id<"exclude">(m_));
        Ref stripped = pyglue::check(PyUnicode_FromKindAndData(kind, first, len));
        if (pyglue::check_status(PySequence_Contains(exclude.get(), stripped.get()))) return true;
        return len && PyUnicode_READ(kind, first, 0) == '!';
    }

    // The level-stack rules: sibling, child of the previous line, or dedent
    // to the matching open level (the root at the latest).
    void place(PyObject* key, Py_ssize_t indentation) {
        Py_ssize_t top = levels_.back().indentation;
        if (top < indentation) {
            curr_ = future_;
            future_ = child(curr_.get(), key);
            levels_.push_back(Level{indentation, curr_});
            return;
        }
        if (top > indentation) {
            while (levels_.size() > 1 && levels_.back().indentation != indentation) levels_.pop_back();
            curr_ = levels_.back().data;
        }
        future_ = child(curr_.get(), key);
    }

    // The dict under `key` in `parent`: the existing one when the line was
    // seen before under the same parent (its children are kept), else new.
    Ref child(PyObject* parent, PyObject* key) {
        if (!spare_) spare_ = pyglue::check(PyDict_New());
        if (PyDict_CheckExact(parent)) {
            PyObject* value = PyDict_SetDefault(parent, key, spare_.get());
            if (!value) pyglue::fail();
            Ref result = Ref::borrow(value);
            if (value == spare_.get()) spare_ = Ref();
            return result;
        }
        // Any other mapping's setdefault may keep the default it is given
        // whatever it returns: the next key gets a dict of its own.
        Ref offered = std::move(spare_);
        return pyglue::call_method(parent, pyglue::id<"setdefault">(m_), key, offered.get());
    }

    const pyglue::ModuleState& m_;
    PyObject* owner_;
    const SpaceTable& table_;
    std::vector<Level> levels_;
    Ref curr_;     // receives the current line
    Ref future_;   // dict of the most recently placed line
    Ref spare_;    // an empty dict ready for the next new key
    KeyCache keys_;
    bool exclude_read_ = false;
    bool fast_exclude_ = false;
    Ref exclude_obj_;
    ExcludeSet exclude_;
    std::size_t lines_ = 0;
};

}  // namespace config_scan
