// A line wrapper equal to textwrap.wrap(text, width) with default options, for
// the texts it provably handles: ASCII printable characters and the wrapper's
// own whitespace ("\t\n\v\f\r "), where every hyphen stands alone between
// whitespace (as in "    - item"): such a hyphen is a word of its own, and no
// hyphen-breaking or em-dash rule can apply. Other texts go to textwrap itself.
#pragma once

#include "pyglue/pyglue.hpp"

#include <string>
#include <vector>

namespace korrin::wrap {

// A wrapped line: the half-open span [begin, end) of the munged text.
struct Span {
    std::size_t begin;
    std::size_t end;
};

inline bool wrapper_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline bool handles(PyObject* text) {
    if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) return false;
    const char* s = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        char c = s[i];
        if (c == '-') {
            bool alone = (i == 0 || wrapper_space(s[i - 1])) && (i + 1 == n || wrapper_space(s[i + 1]));
            if (!alone) return false;
        } else if (!((c >= 0x20 && c < 0x7f) || wrapper_space(c))) {
            return false;
        }
    }
    return true;
}

// str.expandtabs(8), then every wrapper whitespace character becomes a space.
inline std::string munge(PyObject* text) {
    const char* s = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    std::string out;
    out.reserve(static_cast<std::size_t>(n));
    std::size_t column = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        char c = s[i];
        if (c == '\t') {
            std::size_t pad = 8 - column % 8;
            out.append(pad, ' ');
            column += pad;
            continue;
        }
        out.push_back(c == '\n' || c == '\v' || c == '\f' || c == '\r' ? ' ' : c);
        column = (c == '\n' || c == '\r') ? 0 : column + 1;
    }
    return out;
}

// The wrapper's chunking and line filling, step for step (width >= 1).
inline std::vector<Span> wrap(const std::string& text, std::size_t width) {
    struct Chunk {
        std::size_t begin;
        std::size_t length;
        bool space;
    };
    std::vector<Chunk> chunks;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t j = i;
        bool space = text[i] == ' ';
        while (j < text.size() && (text[j] == ' ') == space) ++j;
        chunks.push_back({i, j - i, space});
        i = j;
    }

    std::vector<Span> lines;
    std::size_t next = 0;  // chunks[next] is the wrapper's chunks[-1]
    std::vector<Chunk> line;  // `space` here: strips to nothing
    while (next < chunks.size()) {
        line.clear();
        std::size_t length = 0;
        if (chunks[next].space && !lines.empty()) ++next;
        while (next < chunks.size() && length + chunks[next].length <= width) {
            line.push_back(chunks[next]);
            length += chunks[next].length;
            ++next;
        }
        if (next < chunks.size() && chunks[next].length > width) {
            // A long word (or blank run) is cut to what is left of the line.
            std::size_t take = width - length;
            line.push_back({chunks[next].begin, take, chunks[next].space || take == 0});
            chunks[next].begin += take;
            chunks[next].length -= take;
        }
        if (!line.empty() && line.back().space) line.pop_back();
        if (!line.empty()) lines.push_back({line.front().begin, line.back().begin + line.back().length});
    }
    return lines;
}

}  // namespace korrin::wrap
