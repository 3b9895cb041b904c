#include "conditional_rule.hpp"

#include <vector>

namespace velmora::rules {

bool is_python_space(char32_t c) {
    if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x1f);
    if (c < 0x85) return false;
    return c == 0x85 || c == 0xa0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 ||
           c == 0x202f || c == 0x205f || c == 0x3000;
}

namespace {

// The characters re.IGNORECASE lets stand for each letter of "if" and "then": the two
// ASCII cases, and for "i" also U+0130 (whose lower case is "i") and U+0131 (dotless i).
bool folds_to(char32_t c, char letter) {
    const char32_t lower = letter;
    const char32_t upper = lower - ('a' - 'A');
    if (c == lower || c == upper) return true;
    return letter == 'i' && (c == 0x130 || c == 0x131);
}

constexpr std::size_t none = static_cast<std::size_t>(-1);

}  // namespace

std::optional<ConditionalParts> match_conditional(std::u32string_view text) {
    const std::size_t n = text.size();
    if (n < 2 || !folds_to(text[0], 'i') || !folds_to(text[1], 'f')) return std::nullopt;

    // space_end[p]: end of the run of whitespace starting at p (p itself if none);
    // next_line_feed[p]: the first line feed at or after p (n if none).
    std::vector<std::size_t> space_end(n + 1), next_line_feed(n + 1);
    space_end[n] = n;
    next_line_feed[n] = n;
    for (std::size_t p = n; p-- > 0;) {
        space_end[p] = is_python_space(text[p]) ? space_end[p + 1] : p;
        next_line_feed[p] = text[p] == U'\n' ? p : next_line_feed[p + 1];
    }
    std::size_t last_not_line_feed = none;
    for (std::size_t p = n; p-- > 0;) {
        if (text[p] != U'\n') {
            last_not_line_feed = p;
            break;
        }
    }

    // tail_start[e]: where group 2 starts if "\s+then\s+(.+)" matches at e, else none.
    // The first \s+ must take its whole run (no whitespace folds to "t"); the second
    // gives back characters only when nothing follows its run, and then (.+) starts at
    // the last character that is not a line feed.
    auto tail_start = [&](std::size_t e) -> std::size_t {
        const std::size_t w = space_end[e];
        if (w == e || w + 4 > n) return none;
        if (!folds_to(text[w], 't') || !folds_to(text[w + 1], 'h') || !folds_to(text[w + 2], 'e') ||
            !folds_to(text[w + 3], 'n')) {
            return none;
        }
        const std::size_t u = w + 4;
        const std::size_t v = space_end[u];
        if (v == u) return none;
        if (v < n) return v;
        return last_not_line_feed != none && last_not_line_feed > u ? last_not_line_feed : none;
    };
    // next_tail[p]: the first e >= p at which the tail matches (none if no such e).
    std::vector<std::size_t> next_tail(n + 1, none);
    for (std::size_t p = n; p-- > 0;) next_tail[p] = tail_start(p) != none ? p : next_tail[p + 1];

    // The greedy first \s+ tries its longest run first; for each length, the lazy
    // condition takes the first position where the tail matches, unless a line feed
    // comes before it.
    const std::size_t run_end = space_end[2];
    for (std::size_t s = run_end; s > 2; --s) {
        const std::size_t e = s + 1 <= n ? next_tail[s + 1] : none;
        if (e == none || next_line_feed[s] < e) continue;
        const std::size_t start = tail_start(e);
        return ConditionalParts{s, e, start, next_line_feed[start]};
    }
    return std::nullopt;
}

}  // namespace velmora::rules
