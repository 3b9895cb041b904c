#include "report_page_text.hpp"

#include <algorithm>
#include <initializer_list>

namespace velmora::report_page {
namespace {

// The style sheet, one rule per line, between "<style>" and "</style></head>".
constexpr std::string_view style_lines =
    "body{font-family:'Segoe UI',Arial,sans-serif;margin:0;padding:0;background:#f5f7fa;color:#333;}\n"
    ".container{max-width:1100px;margin:0 auto;padding:30px;}\n"
    "h1{color:#1a1a2e;border-bottom:3px solid #0066cc;padding-bottom:10px;}\n"
    "h2{color:#1a1a2e;margin-top:30px;}\n"
    "table{border-collapse:collapse;width:100%;background:#fff;box-shadow:0 1px 3px rgba(0,0,0,0.1);"
    "border-radius:8px;overflow:hidden;}\n"
    "th,td{border:1px solid #e0e0e0;padding:10px 14px;text-align:left;}\n"
    "th{background:#0066cc;color:#fff;font-weight:600;}\n"
    "tr:nth-child(even){background:#f9f9f9;}\n"
    ".score-card{display:inline-block;background:#fff;border-radius:12px;padding:20px 40px;"
    "box-shadow:0 2px 8px rgba(0,0,0,0.1);text-align:center;margin:20px 0;}\n";

constexpr std::string_view style_lines_after_score =
    ".score-label{font-size:14px;color:#666;text-transform:uppercase;letter-spacing:1px;}\n"
    ".meta{color:#555;font-size:14px;line-height:1.8;}\n"
    ".plots-grid{display:grid;grid-template-columns:repeat(auto-fill,minmax(400px,1fr));gap:20px;"
    "margin-top:20px;}\n"
    ".plot-card{background:#fff;border-radius:8px;padding:15px;box-shadow:0 1px 3px rgba(0,0,0,0.1);"
    "text-align:center;}\n"
    ".plot-card img{max-width:100%;height:auto;}\n"
    ".footer{margin-top:40px;padding-top:20px;border-top:1px solid #ddd;color:#888;font-size:12px;}\n";

// U+2014, spelled in UTF-8 bytes so the source's character set does not matter.
constexpr std::string_view em_dash = "\xe2\x80\x94";

void append(std::string& out, std::initializer_list<std::string_view> pieces) {
    for (std::string_view piece : pieces) out += piece;
}

}  // namespace

std::string escape_html(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#x27;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string_view score_color(double overall) {
    if (overall > 0.8) return "#28a745";
    if (overall >= 0.6) return "#ffc107";
    return "#dc3545";
}

double pass_threshold(bool higher_is_better) {
    return higher_is_better ? 0.7 : 0.3;
}

std::string_view threshold_text(bool higher_is_better) {
    return higher_is_better ? "0.70" : "0.30";
}

std::string_view verdict_color(bool passed) {
    return passed ? "#28a745" : "#dc3545";
}

std::string metric_row(std::string_view name, std::string_view value_text, bool higher_is_better, bool passed) {
    std::string row;
    append(row, {"<tr><td>", escape_html(name), "</td><td>", escape_html(value_text), "</td><td>",
                 threshold_text(higher_is_better), "</td><td style='color:", verdict_color(passed),
                 ";font-weight:bold'>", passed ? "PASS" : "FAIL", "</td></tr>\n"});
    return row;
}

std::string render_page(const PageFields& f) {
    std::string page;
    page.reserve(4096 + f.metric_rows.size() + f.distribution_html.size() + f.correlation_html.size());
    append(page, {"<!DOCTYPE html>\n",
                  "<html>\n",
                  "<head><title>Velmora Evaluation Report ",
                  em_dash,
                  " ",
                  escape_html(f.title_name),
                  "</title>\n",
                  "<style>\n",
                  style_lines,
                  ".score-value{font-size:56px;font-weight:bold;color:",
                  f.score_color,
                  ";}\n",
                  style_lines_after_score,
                  "</style></head>\n",
                  "<body>\n",
                  "<div class=\"container\">\n",
                  "<h1>Evaluation Report ",
                  em_dash,
                  " ",
                  escape_html(f.heading_name),
                  "</h1>\n",
                  "<div class=\"meta\">\n",
                  "<p>Generated: ",
                  escape_html(f.timestamp),
                  " | Dataset: ",
                  escape_html(f.dataset_name),
                  "</p>\n",
                  "<p>Real data: ",
                  escape_html(f.real_rows),
                  " rows | Synthetic data: ",
                  escape_html(f.synthetic_rows),
                  " rows | ",
                  escape_html(f.column_count),
                  " columns</p>\n",
                  "</div>\n",
                  "<div class=\"score-card\">\n",
                  "<div class=\"score-label\">Overall Quality Score</div>\n",
                  "<div class=\"score-value\">",
                  f.overall_text,
                  "</div>\n",
                  "</div>\n",
                  "<h2>Metrics</h2>\n",
                  "<table>\n",
                  "<tr><th>Metric</th><th>Value</th><th>Threshold</th><th>Pass/Fail</th></tr>\n",
                  f.metric_rows,
                  "\n",
                  "</table>\n",
                  f.distribution_html,
                  "\n",
                  f.correlation_html,
                  "\n",
                  "<div class=\"footer\">Generated by Velmora v2.0 Evaluation Suite</div>\n",
                  "</div>\n",
                  "</body>\n",
                  "</html>"});
    return page;
}

long histogram_bins(std::size_t values) {
    return std::min<long>(50, std::max<long>(10, static_cast<long>(values / 20)));
}

std::string distribution_card(std::string_view base64_png, std::string_view label) {
    std::string card;
    append(card, {"<div class='plot-card'><img src='data:image/png;base64,", base64_png, "' alt='", escape_html(label),
                  "'></div>"});
    return card;
}

std::string correlation_section(std::string_view base64_png) {
    std::string section;
    append(section, {"<h2>Correlation Comparison</h2><div class='plot-card' style='max-width:800px'>"
                     "<img src='data:image/png;base64,",
                     base64_png, "' alt='Correlation'></div>"});
    return section;
}

}  // namespace velmora::report_page
