// The text of the evaluation report page: its fixed lines, the metric table rows, the
// plot cards and the rules that pick colours, verdicts and histogram bins. Pure C++:
// every value arrives already converted to UTF-8 text, and every value that comes from
// the caller's data is escaped here before it enters the page.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::report_page {

// `text` as HTML text safe inside elements and inside single- or double-quoted
// attributes: & < > " ' become entities (the same five, spelled the same way, as
// Python's html.escape with quote=True); everything else is kept byte for byte.
std::string escape_html(std::string_view text);

// The overall score's colour: green above 0.8, amber from 0.6, red below (and for NaN).
std::string_view score_color(double overall);

// A metric passes at or above 0.7 when higher is better, at or below 0.3 otherwise.
double pass_threshold(bool higher_is_better);
// The threshold column: the threshold formatted with two decimals.
std::string_view threshold_text(bool higher_is_better);
// The verdict cell's colour.
std::string_view verdict_color(bool passed);

// One line of the metric table, ending in a line feed. `name` and `value_text` are
// escaped here.
std::string metric_row(std::string_view name, std::string_view value_text, bool higher_is_better, bool passed);

// The values a page is made of. The plot sections and the table rows are HTML already
// and go in as they are; every other field is plain text and is escaped.
struct PageFields {
    std::string_view title_name;    // generator name in <title>
    std::string_view heading_name;  // generator name in <h1>
    std::string_view timestamp;
    std::string_view dataset_name;
    std::string_view real_rows;  // row counts, already grouped by thousands
    std::string_view synthetic_rows;
    std::string_view column_count;
    std::string_view overall_text;  // the score with two decimals
    std::string_view score_color;
    std::string_view metric_rows;  // lines made by metric_row, concatenated
    std::string_view distribution_html;
    std::string_view correlation_html;
};

// The whole page: its lines joined by line feeds, with no line feed after the last.
std::string render_page(const PageFields& fields);

// Histogram bins for a column with `values` non-missing real values: n // 20, kept
// between 10 and 50.
long histogram_bins(std::size_t values);

// The distribution section's opening (heading and grid) and closing.
inline constexpr std::string_view distribution_opening = "<h2>Distribution Comparison</h2><div class='plots-grid'>";
inline constexpr std::string_view distribution_closing = "</div>";

// One histogram card: the PNG as a data URI, the column label (escaped here) as alt text.
std::string distribution_card(std::string_view base64_png, std::string_view label);

// The correlation section: heading and the card of the heatmap pair.
std::string correlation_section(std::string_view base64_png);

}  // namespace velmora::report_page
