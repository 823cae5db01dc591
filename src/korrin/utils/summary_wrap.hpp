// A line wrapper equal to textwrap.wrap(text, width) with default options, for
// any exact str and any width >= 1. It follows the standard wrapper step by
// step: tabs expanded, the six ASCII whitespace characters turned into spaces,
// the text split into chunks as its word-splitting expression splits it, and
// the chunks filled into lines. Character classes come from the running
// interpreter's Unicode database, as the regular expression engine's do.
// Where textwrap's versions differ, the running one is probed at import.
#pragma once

#include "pyglue/pyglue.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

namespace korrin::wrap {

// How the running textwrap.wrap treats a word too long for any line when it
// comes with the line already full. 3.13.0 and older cut an empty piece off
// the word and keep it on the line, which shields a blank chunk before it from
// being dropped ("abc  xxxxxxxxx" at 5: "abc  ", "xxxxx", "xxxx"); newer ones,
// later 3.13 point releases included, cut nothing and the blank goes ("abc").
// The version number does not tell, so probe() asks textwrap itself.
enum class Behaviour : std::uint8_t {
    textwrap_only,  // like none of the below: textwrap.wrap does all wrapping
    empty_cut,
    no_empty_cut,
};

// Character classes of the word-splitting expression.
enum : std::uint8_t {
    WORD = 1,         // \w: alphanumeric or "_"
    LETTER = 2,       // [^\d\W]: \w but not a decimal digit
    WORD_PUNCT = 4,   // [\w!"'&.,?]: may precede an em-dash
};

struct AsciiClasses {
    std::uint8_t of[128] = {};
    constexpr AsciiClasses() {
        for (int c = '0'; c <= '9'; ++c) of[c] = WORD | WORD_PUNCT;
        for (int c = 'a'; c <= 'z'; ++c) of[c] = of[c - 'a' + 'A'] = WORD | LETTER | WORD_PUNCT;
        of[static_cast<int>('_')] = WORD | LETTER | WORD_PUNCT;
        for (char c : {'!', '"', '\'', '&', '.', ',', '?'}) of[static_cast<int>(c)] = WORD_PUNCT;
    }
};
inline constexpr AsciiClasses ascii_classes;

inline unsigned classes(Py_UCS4 c) {
    if (c < 128) return ascii_classes.of[c];
    if (!Py_UNICODE_ISALNUM(c)) return 0;
    return Py_UNICODE_ISDECIMAL(c) ? WORD | WORD_PUNCT : WORD | LETTER | WORD_PUNCT;
}

// The characters the wrapper splits on and turns into spaces.
inline bool wrapper_space(Py_UCS4 c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Scratch space for the munged text, one per thread and character width.
// Kept between calls, except when a long text made it large.
template <class Char>
std::vector<Char>& scratch() {
    thread_local std::vector<Char> buffer;
    return buffer;
}

inline constexpr std::size_t kept_scratch_bytes = 256 * 1024;

// The lines of one text as textwrap.wrap returns them: spans of `chars` (of
// `kind`), which are the text's own characters or, where tabs or other
// whitespace were replaced, a copy kept here. Rows are built from the spans
// only when they are queued, with the width read then.
struct Lines {
    struct Span {
        std::size_t begin;
        std::size_t length;
    };
    pyglue::Ref text;                // keeps the text's characters alive
    int kind = PyUnicode_1BYTE_KIND;
    const void* chars = nullptr;
    std::vector<Span> spans;
    std::vector<unsigned char> munged;
};

template <class Char>
class Wrapper {
public:
    Wrapper(const Char* text, std::size_t length, Behaviour behaviour)
        : s_(text), n_(length), empty_cut_(behaviour == Behaviour::empty_cut) {}

    // Calls line(data, length) for each wrapped line, in order.
    template <class Line>
    void wrap(std::size_t width, Line&& line) {
        Release release;
        munge();
        fill(width, line);
    }

    // The wrapped lines as spans into `out`'s characters.
    void wrap(std::size_t width, Lines& out) {
        Release release;
        const Char* own = s_;
        munge();
        auto span = [&](const Char* line, std::size_t length) {
            out.spans.push_back({static_cast<std::size_t>(line - s_), length});
        };
        fill(width, span);
        if (s_ != own) {
            // The scratch space is reused by the next text: the lines keep a copy.
            out.munged.resize(n_ * sizeof(Char));
            std::memcpy(out.munged.data(), s_, n_ * sizeof(Char));
            out.chars = out.munged.data();
        } else {
            out.chars = s_;
        }
    }

private:
    struct Release {
        ~Release() {
            auto& buffer = scratch<Char>();
            if (buffer.capacity() * sizeof(Char) > kept_scratch_bytes) std::vector<Char>().swap(buffer);
        }
    };

    // A chunk [begin, end); [begin, content) is what str.strip would keep of
    // its end, so the chunk is blank when content <= begin.
    struct Chunk {
        std::size_t begin;
        std::size_t end;
        std::size_t content;
        bool blank() const { return content <= begin; }
        std::size_t length() const { return end - begin; }
    };

    // str.expandtabs(8), then each wrapper whitespace character becomes a space.
    // Texts without any of them are used as they are.
    void munge() {
        Char any = 0;  // no early exit and no widening, so the compiler vectorizes the loop
        for (std::size_t i = 0; i < n_; ++i) any |= static_cast<Char>(s_[i] - Char('\t')) <= Char('\r' - '\t');
        if (!any) return;
        auto& buffer = scratch<Char>();
        buffer.clear();
        buffer.reserve(n_);
        std::size_t column = 0;
        for (std::size_t i = 0; i < n_; ++i) {
            Char c = s_[i];
            if (c == '\t') {
                std::size_t pad = 8 - column % 8;
                buffer.insert(buffer.end(), pad, Char(' '));
                column += pad;
                continue;
            }
            buffer.push_back(wrapper_space(c) ? Char(' ') : c);
            column = (c == '\n' || c == '\r') ? 0 : column + 1;
        }
        s_ = buffer.data();
        n_ = buffer.size();
    }

    bool has(std::size_t i, unsigned cls) const { return i < n_ && (classes(s_[i]) & cls); }
    bool hyphen(std::size_t i) const { return i < n_ && s_[i] == '-'; }

    // Where the run of hyphens starting at i ends.
    std::size_t hyphens_end(std::size_t i) const {
        while (i < n_ && s_[i] == '-') ++i;
        return i;
    }

    // Two or more hyphens at i, after a word or punctuation character and
    // before a word character: an em-dash.
    bool em_dash_at(std::size_t i) const {
        if (i == 0 || !has(i - 1, WORD_PUNCT)) return false;
        std::size_t end = hyphens_end(i);
        return end - i >= 2 && has(end, WORD);
    }

    // A hyphen at i that ends a chunk: letters around it as the expression wants.
    bool breaking_hyphen(std::size_t i) const {
        bool behind = (i >= 2 && has(i - 2, LETTER) && has(i - 1, LETTER)) ||
                      (i >= 3 && has(i - 3, LETTER) && s_[i - 2] == '-' && has(i - 1, LETTER));
        return behind && has(i + 1, LETTER) && (has(i + 2, LETTER) || (hyphen(i + 2) && has(i + 3, LETTER)));
    }

    // The chunk the expression matches at p: a run of spaces, an em-dash, or
    // the shortest word ending before a space, after a breaking hyphen, or
    // before an em-dash.
    Chunk chunk_at(std::size_t p) const {
        std::size_t end = p + 1;
        if (s_[p] == ' ') {
            while (end < n_ && s_[end] == ' ') ++end;
            return {p, end, p};
        }
        if (s_[p] == '-' && em_dash_at(p)) {
            end = hyphens_end(p);
        } else {
            for (; end < n_ && s_[end] != ' '; ++end) {
                if (s_[end] != '-') continue;
                if (breaking_hyphen(end)) {
                    ++end;
                    break;
                }
                if (em_dash_at(end)) break;
            }
        }
        std::size_t content = end;
        while (content > p && Py_UNICODE_ISSPACE(s_[content - 1])) --content;
        return {p, end, content};
    }

    // How much of the too-long chunk c goes on a line with `left` columns
    // free: up to its last hyphen there if a non-hyphen precedes that hyphen,
    // else all of them.
    std::size_t long_word_take(const Chunk& c, std::size_t left) const {
        std::size_t h = left;
        while (h > 0 && s_[c.begin + h - 1] != '-') --h;
        if (h < 2) return left;  // no hyphen, or one at the chunk's start
        for (std::size_t i = c.begin; i < c.begin + h - 1; ++i)
            if (s_[i] != '-') return h;
        return left;
    }

    bool blank(std::size_t begin, std::size_t end) const {
        for (std::size_t i = begin; i < end; ++i)
            if (!Py_UNICODE_ISSPACE(s_[i])) return false;
        return true;
    }

    // The wrapper's line filling, step for step, one chunk ahead.
    template <class Line>
    void fill(std::size_t width, Line& line) {
        std::size_t pos = 0;
        Chunk c{};
        bool more = false;
        auto advance = [&] {
            more = pos < n_;
            if (more) pos = (c = chunk_at(pos)).end;
        };
        advance();
        bool first = true;
        while (more) {
            if (!first && c.blank()) advance();
            std::size_t length = 0, pieces = 0, begin = 0, end = 0, last_begin = 0;
            bool last_blank = false;
            auto add = [&](std::size_t b, std::size_t e, bool is_blank) {
                if (!pieces++) begin = b;
                last_begin = b;
                end = e;
                last_blank = is_blank;
                length += e - b;
            };
            while (more && length + c.length() <= width) {
                add(c.begin, c.end, c.blank());
                advance();
            }
            if (more && c.length() > width && (length < width || empty_cut_)) {
                // A long word (or blank run) is cut to what is left of the line.
                std::size_t take = long_word_take(c, width - length);
                add(c.begin, c.begin + take, c.blank() || blank(c.begin, c.begin + take));
                c.begin += take;
            }
            if (pieces && last_blank) {
                --pieces;
                end = last_begin;
            }
            if (pieces) {
                line(s_ + begin, end - begin);
                first = false;
            }
        }
    }

    const Char* s_;
    std::size_t n_;
    bool empty_cut_;
};

// Calls line(data, length) with the characters of each line textwrap.wrap(text,
// width) would return, in the text's own character width. `text` is an exact
// str; width >= 1; `behaviour` is what probe() found, not textwrap_only. No
// Python code runs.
template <class Line>
void wrap(PyObject* text, std::size_t width, Behaviour behaviour, Line&& line) {
    const void* data = PyUnicode_DATA(text);
    auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        Wrapper<Py_UCS1>(static_cast<const Py_UCS1*>(data), n, behaviour).wrap(width, line);
        break;
    case PyUnicode_2BYTE_KIND:
        Wrapper<Py_UCS2>(static_cast<const Py_UCS2*>(data), n, behaviour).wrap(width, line);
        break;
    default:
        Wrapper<Py_UCS4>(static_cast<const Py_UCS4*>(data), n, behaviour).wrap(width, line);
        break;
    }
}

// The lines textwrap.wrap(text, width) would return, as spans of the text's
// characters (or of their munged copy), into `out` (reused: what it held
// before goes). Same conditions as wrap() above.
inline void wrap_lines(PyObject* text, std::size_t width, Behaviour behaviour, Lines& out) {
    out.spans.clear();
    out.munged.clear();
    out.text = pyglue::Ref::borrow(text);
    out.kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    switch (out.kind) {
    case PyUnicode_1BYTE_KIND: Wrapper<Py_UCS1>(static_cast<const Py_UCS1*>(data), n, behaviour).wrap(width, out); break;
    case PyUnicode_2BYTE_KIND: Wrapper<Py_UCS2>(static_cast<const Py_UCS2*>(data), n, behaviour).wrap(width, out); break;
    default: Wrapper<Py_UCS4>(static_cast<const Py_UCS4*>(data), n, behaviour).wrap(width, out); break;
    }
}

// Texts (UTF-8) and widths on which textwrap's versions differ, and two that
// pass most other rules, so that a textwrap changed in a way not known here is
// noticed rather than imitated wrongly. Kept few and short: they cost import
// time.
struct ProbeCase {
    const char* text;
    int width;
};
inline constexpr ProbeCase probe_cases[] = {
    {"abc  xxxxxxxxx", 5},
    {"     xxxxxxxxx", 5},
    {"Z\xc3\xbcrich-na\xc3\xafve  next-hop\tx.--y ab--cd 10.0.0.1 ---abcdef \xc2\xa0 re-learnt a-b-cd", 7},
    {"\t\tx \xe4\xb8\xad\xe6\x96\x87-\xf0\x9f\x98\x80 goof-ball\r\n  word\x0b\x0c" "end  ", 9},
};

// Which behaviour makes the native wrapper give what `textwrap_wrap` (the
// module's textwrap.wrap, as found at import) gives for every probe case. An
// ordinary exception from it means textwrap_only; anything else propagates.
inline Behaviour probe(PyObject* textwrap_wrap) {
    using pyglue::Ref;
    constexpr Behaviour candidates[] = {Behaviour::no_empty_cut, Behaviour::empty_cut};
    bool matches[std::size(candidates)] = {true, true};
    for (const ProbeCase& probe : probe_cases) {
        Ref text = pyglue::check(PyUnicode_FromString(probe.text));
        Ref expected = Ref::steal(PyObject_CallFunction(textwrap_wrap, "Oi", text.get(), probe.width));
        if (!expected) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) pyglue::fail();
            PyErr_Clear();
            return Behaviour::textwrap_only;
        }
        int kind = PyUnicode_KIND(text.get());
        for (std::size_t i = 0; i < std::size(candidates); ++i) {
            Ref lines = pyglue::check(PyList_New(0));
            wrap(text.get(), static_cast<std::size_t>(probe.width), candidates[i], [&](const auto* data, std::size_t length) {
                Ref line = pyglue::check(PyUnicode_FromKindAndData(kind, data, static_cast<Py_ssize_t>(length)));
                pyglue::check_status(PyList_Append(lines.get(), line.get()));
            });
            matches[i] = matches[i] && pyglue::check_status(PyObject_RichCompareBool(expected.get(), lines.get(), Py_EQ));
        }
    }
    for (std::size_t i = 0; i < std::size(candidates); ++i)
        if (matches[i]) return candidates[i];
    return Behaviour::textwrap_only;
}

}  // namespace korrin::wrap
