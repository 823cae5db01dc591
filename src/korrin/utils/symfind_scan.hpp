// The path scanner behind symfind.str_to_list: rewrites a path text the way
// the regular-expression formulation does (parenthesised text protected,
// bracketed groups holding whitespace joined with "~", brackets blanked,
// parenthesised text restored), in linear-ish time and without recursion.
// Character classes come from the interpreter's own Unicode predicates, so
// `\s`, `\w` and str.split() whitespace mean exactly what they mean there.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace symfind {

using Text = std::u32string;

// ------------------------------------------------------------ characters

namespace chars {
enum : unsigned char { kSpace = 1, kWord = 2 };

// The ASCII part of both classes, as the interpreter's predicates classify
// ASCII (which the Unicode database fixes for good): whitespace is \t \n \v
// \f \r, the four separators \x1c-\x1f and the space; word characters are
// letters, digits and the underscore.
constexpr std::array<unsigned char, 128> ascii_table = [] {
    std::array<unsigned char, 128> t{};
    for (int c = 0; c < 128; ++c) {
        unsigned char bits = 0;
        if ((c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f) || c == ' ') bits |= kSpace;
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_') bits |= kWord;
        t[c] = bits;
    }
    return t;
}();

// str.isspace(), `\s` and the separators of str.split().
inline bool space(char32_t c) {
    return c < 128 ? (ascii_table[c] & kSpace) != 0 : Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c));
}

// `\w` of a str pattern: str.isalnum() or "_".
inline bool word(char32_t c) {
    return c < 128 ? (ascii_table[c] & kWord) != 0 : Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c)) != 0;
}

// The class `[\(\w\)]`.
inline bool group(char32_t c) { return c == '(' || c == ')' || word(c); }

// " " and "~" are the only characters the joining step ever exchanges, so
// occurrences are searched for with the two treated as one.
inline char32_t fold(char32_t c) { return c == '~' ? U' ' : c; }
}  // namespace chars

// ------------------------------------------------------- tilde counting

// Counts of "~" over ranges of the working text, updated as spaces turn
// into "~" (which is the only change the joining step makes): a Fenwick
// tree, O(log n) per count and per update, O(n) to build.
//
// For a long group that occurs more than once: each later pass of it looks
// again at every overlapping occurrence the earlier ones left, and counting
// by reading the occurrence would make that O(n * group length). Shown by
// test_megabyte_paths, the case of a 4096-word group given twice before a
// megabyte run of its words.
class TildeCounter {
public:
    explicit TildeCounter(const Text& text) : tree_(text.size() + 1, 0) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] != U'~') continue;
            for (std::size_t j = i + 1; j < tree_.size(); j += j & (~j + 1)) ++tree_[j];
        }
    }

    void add(std::size_t position) {
        for (std::size_t j = position + 1; j < tree_.size(); j += j & (~j + 1)) ++tree_[j];
    }

    std::size_t count(std::size_t begin, std::size_t end) const { return prefix(end) - prefix(begin); }

private:
    std::size_t prefix(std::size_t end) const {
        std::size_t total = 0;
        for (std::size_t j = end; j > 0; j -= j & (~j + 1)) total += tree_[j];
        return total;
    }

    std::vector<std::uint32_t> tree_;
};

// ---------------------------------------------------- multi-pattern search

// Aho-Corasick automaton over the (folded) texts of the joined groups; it
// lists every occurrence, overlapping ones included, of every group text in
// one pass over the working text: O(total group length) to build, O(n +
// occurrences) to scan.
//
// For many distinct groups: a search per group would pass over the text once
// per group. Shown by test_megabyte_paths, the "[interface Ethernet1/<i>][mtu]"
// case (32768 distinct groups in a megabyte).
class Automaton {
public:
    explicit Automaton(std::size_t capacity) {
        std::size_t size = 16;
        while (size < 2 * capacity + 2) size <<= 1;
        keys_.assign(size, 0);
        values_.assign(size, 0);
        mask_ = size - 1;
        nodes_.push_back(Node{});
    }

    // Adds a pattern; returns its end node.
    int add(std::u32string_view pattern) {
        int node = 0;
        for (char32_t raw : pattern) {
            char32_t c = chars::fold(raw);
            int child = find(node, c);
            if (child < 0) {
                child = static_cast<int>(nodes_.size());
                Node n;
                n.parent = node;
                n.ch = c;
                n.depth = nodes_[node].depth + 1;
                nodes_.push_back(n);
                insert(node, c, child);
            }
            node = child;
        }
        return node;
    }

    void mark(int node, int pattern_id) {
        if (static_cast<std::size_t>(pattern_id) >= next_same_.size()) next_same_.resize(pattern_id + 1, -1);
        next_same_[pattern_id] = nodes_[node].first;
        nodes_[node].first = pattern_id;
    }

    // Failure and output links, shallow nodes first.
    void finish() {
        std::size_t max_depth = 0;
        for (const Node& n : nodes_) max_depth = std::max<std::size_t>(max_depth, n.depth);
        std::vector<std::size_t> start(max_depth + 2, 0);
        for (const Node& n : nodes_) ++start[n.depth + 1];
        for (std::size_t d = 1; d < start.size(); ++d) start[d] += start[d - 1];
        std::vector<int> order(nodes_.size());
        for (std::size_t v = 0; v < nodes_.size(); ++v) order[start[nodes_[v].depth]++] = static_cast<int>(v);
        for (int v : order) {
            Node& n = nodes_[v];
            if (n.depth <= 1) {
                n.fail = 0;
            } else {
                n.fail = step(nodes_[n.parent].fail, n.ch);
            }
            if (v == 0) continue;
            const Node& f = nodes_[n.fail];
            n.link = f.first >= 0 ? n.fail : f.link;
        }
    }

    // Calls found(pattern_id, end) for every occurrence ending at each position.
    template <class Found>
    void scan(const Text& text, Found&& found) const {
        int state = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            state = step(state, chars::fold(text[i]));
            int node = nodes_[state].first >= 0 ? state : nodes_[state].link;
            for (; node >= 0; node = nodes_[node].link)
                for (int id = nodes_[node].first; id >= 0; id = next_same_[id]) found(id, i + 1);
        }
    }

private:
    struct Node {
        int parent = -1;
        int fail = 0;
        int link = -1;   // nearest node on the failure chain where a pattern ends
        int first = -1;  // patterns ending here, chained through next_same_
        std::uint32_t depth = 0;
        char32_t ch = 0;
    };

    static std::uint64_t key(int node, char32_t c) {
        return ((static_cast<std::uint64_t>(node) << 21) | c) + 1;  // 0 marks a free slot
    }

    std::size_t slot(std::uint64_t k) const {
        return static_cast<std::size_t>((k * 0x9E3779B97F4A7C15ull) >> 17) & mask_;
    }

    int find(int node, char32_t c) const {
        std::uint64_t k = key(node, c);
        for (std::size_t s = slot(k);; s = (s + 1) & mask_) {
            if (keys_[s] == k) return values_[s];
            if (keys_[s] == 0) return -1;
        }
    }

    void insert(int node, char32_t c, int child) {
        std::uint64_t k = key(node, c);
        std::size_t s = slot(k);
        while (keys_[s] != 0) s = (s + 1) & mask_;
        keys_[s] = k;
        values_[s] = child;
    }

    int step(int state, char32_t c) const {
        for (;;) {
            int child = find(state, c);
            if (child >= 0) return child;
            if (state == 0) return 0;
            state = nodes_[state].fail;
        }
    }

    std::vector<Node> nodes_;
    std::vector<int> next_same_;
    std::vector<std::uint64_t> keys_;
    std::vector<int> values_;
    std::size_t mask_ = 0;
};

// ------------------------------------------------------------- the steps

struct Span {
    std::size_t start;
    std::size_t length;
};

// Protects every `\(.*?\)` match: blanks it in `text` and keeps its
// original characters in `saved` (in order). Each match is blanked at its
// own position, which is also where its text first occurs at that moment.
inline std::vector<Span> protect_parentheses(Text& text, Text& saved) {
    std::vector<Span> spans;
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        if (text[i] != U'(') {
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        while (j < n && text[j] != U')' && text[j] != U'\n') ++j;
        if (j < n && text[j] == U')') {
            spans.push_back({i, j + 1 - i});
            saved.append(text, i, j + 1 - i);
            for (std::size_t k = i; k <= j; ++k) text[k] = U' ';
            i = j + 1;
        } else {
            // Every "(" before this line end fails the same way.
            i = j;
        }
    }
    return spans;
}

// The matches of `[\(\w\)]+\s+[\(\w)\)]+.*?]`, left to right without
// overlap; each span covers the match without its closing "]". The two
// runs and the whitespace between them are maximal (the classes are
// disjoint), and the lazy tail ends at the first "]" unless a newline comes
// first, in which case no start inside the first run can match.
inline std::vector<Span> find_groups(const Text& text) {
    std::vector<Span> found;
    const std::size_t n = text.size();
    std::size_t stop = 0;  // first "]" or "\n" at or after the last tail start
    bool stop_known = false;
    std::size_t i = 0;
    while (i < n) {
        if (!chars::group(text[i])) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < n && chars::group(text[j])) ++j;
        std::size_t k = j;
        while (k < n && chars::space(text[k])) ++k;
        if (k == j || k == n || !chars::group(text[k])) {
            i = j;
            continue;
        }
        std::size_t l = k;
        while (l < n && chars::group(text[l])) ++l;
        if (!stop_known || stop < l) {
            stop = l;
            while (stop < n && text[stop] != U']' && text[stop] != U'\n') ++stop;
            stop_known = true;
        }
        if (stop < n && text[stop] == U']') {
            found.push_back({i, stop - i});
            i = stop + 1;
        } else {
            i = j;
        }
    }
    return found;
}

// Every occurrence, overlapping ones included, of one folded pattern: the
// Knuth-Morris-Pratt (prefix-function) search, O(n + pattern length).
//
// For a single distinct group, where it is cheaper than building the
// automaton; a plain search restarting at each position would be O(n *
// pattern length) on a group that overlaps itself. Shown by
// test_megabyte_paths, the "[" + "a " * (MB // 2) + "]" case.
template <class Found>
void scan_one(const Text& text, std::u32string_view pattern, Found&& found) {
    const std::size_t m = pattern.size();
    std::vector<std::size_t> border(m, 0);
    for (std::size_t i = 1, k = 0; i < m; ++i) {
        while (k > 0 && chars::fold(pattern[i]) != chars::fold(pattern[k])) k = border[k - 1];
        if (chars::fold(pattern[i]) == chars::fold(pattern[k])) ++k;
        border[i] = k;
    }
    for (std::size_t i = 0, k = 0; i < text.size(); ++i) {
        char32_t c = chars::fold(text[i]);
        while (k > 0 && c != chars::fold(pattern[k])) k = border[k - 1];
        if (c == chars::fold(pattern[k])) ++k;
        if (k == m) {
            found(i + 1 - m);
            k = border[k - 1];
        }
    }
}

// A distinct group text, where its first group lies in the working text,
// and its occurrences still to be looked at.
struct GroupPattern {
    std::size_t start;
    std::size_t length;
    std::vector<std::uint32_t> spaces;  // offsets of " " (they become "~")
    std::vector<std::uint32_t> tildes;  // offsets of "~" in the group text itself
    std::vector<std::size_t> active;    // candidates to look at in the next pass, ascending
    std::vector<std::size_t> woken;     // waiting candidates whose position turned
};

// The distinct texts of the groups that hold a space (a group without one
// would be replaced by itself); pattern_of[g] is group g's pattern, or -1.
inline std::vector<GroupPattern> distinct_patterns(const Text& text, const std::vector<Span>& groups,
                                                   std::vector<int>& pattern_of) {
    std::vector<GroupPattern> patterns;
    auto text_of = [&](std::size_t start, std::size_t length) { return std::u32string_view(text.data() + start, length); };
    std::unordered_map<std::u32string_view, int> ids;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        std::u32string_view body = text_of(groups[g].start, groups[g].length);
        if (body.find(U' ') == std::u32string_view::npos) continue;
        int id = -1;
        if (ids.empty()) {  // few patterns: compared directly, the table starts past eight
            for (std::size_t k = 0; k < patterns.size() && id < 0; ++k)
                if (text_of(patterns[k].start, patterns[k].length) == body) id = static_cast<int>(k);
            if (id < 0 && patterns.size() == 8)
                for (std::size_t k = 0; k < patterns.size(); ++k)
                    ids.emplace(text_of(patterns[k].start, patterns[k].length), static_cast<int>(k));
        }
        if (!ids.empty()) {
            auto [it, added] = ids.emplace(body, static_cast<int>(patterns.size()));
            if (!added) id = it->second;
        }
        if (id >= 0) {
            pattern_of[g] = id;
            continue;
        }
        pattern_of[g] = static_cast<int>(patterns.size());
        GroupPattern p{groups[g].start, body.size(), {}, {}, {}, {}};
        for (std::size_t o = 0; o < body.size(); ++o) {
            if (body[o] == U' ') p.spaces.push_back(static_cast<std::uint32_t>(o));
            if (body[o] == U'~') p.tildes.push_back(static_cast<std::uint32_t>(o));
        }
        patterns.push_back(std::move(p));
    }
    return patterns;
}

// Every occurrence of each pattern's folded text in the folded text, in
// ascending order, as its first candidates.
inline void list_occurrences(const Text& text, std::vector<GroupPattern>& patterns) {
    if (patterns.size() == 1) {
        GroupPattern& p = patterns[0];
        scan_one(text, std::u32string_view(text.data() + p.start, p.length),
                 [&](std::size_t start) { p.active.push_back(start); });
        return;
    }
    std::size_t total = 0;
    for (const GroupPattern& p : patterns) total += p.length;
    Automaton automaton(total);
    for (std::size_t id = 0; id < patterns.size(); ++id) {
        const GroupPattern& p = patterns[id];
        automaton.mark(automaton.add(std::u32string_view(text.data() + p.start, p.length)), static_cast<int>(id));
    }
    automaton.finish();
    automaton.scan(text, [&](int id, std::size_t end) { patterns[id].active.push_back(end - patterns[id].length); });
}

// Candidates waiting for a space to turn, by the position of that space.
using Waiting = std::unordered_map<std::size_t, std::vector<std::pair<int, std::size_t>>>;

// One pass of pattern `id`: str.replace of its text by its text with "~"
// for spaces, over the candidates in order.
inline void replace_pass(Text& text, std::vector<GroupPattern>& patterns, int id, TildeCounter& tildes,
                         Waiting& waiting) {
    GroupPattern& p = patterns[id];
    if (!p.woken.empty()) {
        std::sort(p.woken.begin(), p.woken.end());
        std::vector<std::size_t> merged(p.active.size() + p.woken.size());
        std::merge(p.active.begin(), p.active.end(), p.woken.begin(), p.woken.end(), merged.begin());
        p.active = std::move(merged);
        p.woken.clear();
    }
    std::size_t position = 0;  // where the replacing search resumes
    std::size_t kept = 0;
    for (std::size_t i = 0; i < p.active.size(); ++i) {
        const std::size_t c = p.active[i];
        if (c < position) {
            p.active[kept++] = c;
            continue;
        }
        std::size_t turned = tildes.count(c, c + p.length);
        std::size_t blocking = SIZE_MAX;  // a space where the group has "~"
        for (std::uint32_t o : p.tildes) {
            if (text[c + o] == U'~') --turned;
            else if (blocking == SIZE_MAX) blocking = c + o;
        }
        if (turned > 0) continue;  // "~" where the group has a space
        if (blocking != SIZE_MAX) {
            waiting[blocking].emplace_back(id, c);
            continue;
        }
        for (std::uint32_t o : p.spaces) {
            const std::size_t at = c + o;
            text[at] = U'~';
            tildes.add(at);
            if (waiting.empty()) continue;
            auto found = waiting.find(at);
            if (found == waiting.end()) continue;
            for (auto [other, start] : found->second) patterns[other].woken.push_back(start);
            waiting.erase(found);
        }
        position = c + p.length;
    }
    p.active.resize(kept);
}

// Applies, for each group in order, "replace every occurrence of the group
// text by the text with its spaces written as '~'" (non-overlapping, left to
// right, as str.replace does) to `text`.
//
// All replacements only turn spaces into "~", so every occurrence at any
// moment is an occurrence of the folded group text in the folded original;
// those are listed once up front, and each pass checks them against the
// current text:
// - a "~" where the group has a space: it can never match again, dropped;
// - a space where the group has a "~": it matches only once that space has
//   turned, so it waits on that position and is looked at again after;
// - skipped because it overlaps a replacement of the same pass: kept for the
//   next pass of that group.
inline void join_groups(Text& text, const std::vector<Span>& groups) {
    std::vector<int> pattern_of(groups.size(), -1);
    std::vector<GroupPattern> patterns = distinct_patterns(text, groups, pattern_of);
    if (patterns.empty()) return;
    list_occurrences(text, patterns);

    TildeCounter tildes(text);
    Waiting waiting;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const int id = pattern_of[g];
        if (id < 0 || (patterns[id].active.empty() && patterns[id].woken.empty())) continue;
        replace_pass(text, patterns, id, tildes, waiting);
    }
}

// The whole rewrite: the text whose whitespace-separated tokens, with "~"
// read as a space, are the keys of the path.
inline void rewrite_path(Text& text) {
    Text saved;
    std::vector<Span> protected_spans = protect_parentheses(text, saved);
    join_groups(text, find_groups(text));
    for (char32_t& c : text)
        if (c == U'[' || c == U']') c = U' ';
    std::size_t from = 0;
    for (const Span& s : protected_spans) {
        text.replace(s.start, s.length, saved, from, s.length);
        from += s.length;
    }
}

}  // namespace symfind
