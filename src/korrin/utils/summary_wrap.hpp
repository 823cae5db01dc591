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

// Keeps its buffers between calls, so wrapping a message allocates nothing
// but the rows. No Python code runs while a result is in use.
class Wrapper {
public:
    // The lines of `text` wrapped at `width` (>= 1), as spans of munged().
    const std::vector<Span>& wrap(PyObject* text, std::size_t width) {
        munge(text);
        split();
        fill(width);
        return lines_;
    }

    const std::string& munged() const { return text_; }

private:
    struct Chunk {
        std::size_t begin;
        std::size_t length;
        bool space;  // for a line's last piece: strips to nothing
    };

    // str.expandtabs(8), then every wrapper whitespace character becomes a space.
    void munge(PyObject* text) {
        const char* s = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
        Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        text_.clear();
        std::size_t column = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            char c = s[i];
            if (c == '\t') {
                std::size_t pad = 8 - column % 8;
                text_.append(pad, ' ');
                column += pad;
                continue;
            }
            text_.push_back(c == '\n' || c == '\v' || c == '\f' || c == '\r' ? ' ' : c);
            column = (c == '\n' || c == '\r') ? 0 : column + 1;
        }
    }

    // Runs of blanks and runs of other characters.
    void split() {
        chunks_.clear();
        for (std::size_t i = 0; i < text_.size();) {
            std::size_t j = i;
            bool space = text_[i] == ' ';
            while (j < text_.size() && (text_[j] == ' ') == space) ++j;
            chunks_.push_back({i, j - i, space});
            i = j;
        }
    }

    // The wrapper's line filling, step for step.
    void fill(std::size_t width) {
        lines_.clear();
        std::size_t next = 0;  // chunks_[next] is the wrapper's chunks[-1]
        while (next < chunks_.size()) {
            line_.clear();
            std::size_t length = 0;
            if (chunks_[next].space && !lines_.empty()) ++next;
            while (next < chunks_.size() && length + chunks_[next].length <= width) {
                line_.push_back(chunks_[next]);
                length += chunks_[next].length;
                ++next;
            }
            if (next < chunks_.size() && chunks_[next].length > width) {
                // A long word (or blank run) is cut to what is left of the line.
                std::size_t take = width - length;
                line_.push_back({chunks_[next].begin, take, chunks_[next].space || take == 0});
                chunks_[next].begin += take;
                chunks_[next].length -= take;
            }
            if (!line_.empty() && line_.back().space) line_.pop_back();
            if (!line_.empty()) lines_.push_back({line_.front().begin, line_.back().begin + line_.back().length});
        }
    }

    std::string text_;
    std::vector<Chunk> chunks_;
    std::vector<Chunk> line_;
    std::vector<Span> lines_;
};

}  // namespace korrin::wrap
