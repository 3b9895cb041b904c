#include "report_page_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace velmora::report_page {
namespace {

std::vector<std::string> lines_of(const std::string& page) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream stream(page);
    while (std::getline(stream, line)) lines.push_back(line);
    if (!page.empty() && page.back() == '\n') lines.push_back("");
    return lines;
}

TEST(EscapeHtml, EscapesTheFiveMarkupCharacters) {
    EXPECT_EQ(escape_html("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&#x27;");
    EXPECT_EQ(escape_html("&amp;"), "&amp;amp;");
}

TEST(EscapeHtml, KeepsOtherTextByteForByte) {
    const std::string text = "ks_complement_\xc3\xa2ge \xe2\x80\x94 $x$ / 100%";
    EXPECT_EQ(escape_html(text), text);
    EXPECT_EQ(escape_html(""), "");
    EXPECT_EQ(escape_html(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(ScoreColor, BoundariesAndNan) {
    EXPECT_EQ(score_color(0.8000001), "#28a745");
    EXPECT_EQ(score_color(0.8), "#ffc107");
    EXPECT_EQ(score_color(0.6), "#ffc107");
    EXPECT_EQ(score_color(0.5999999), "#dc3545");
    EXPECT_EQ(score_color(std::numeric_limits<double>::quiet_NaN()), "#dc3545");
    EXPECT_EQ(score_color(std::numeric_limits<double>::infinity()), "#28a745");
    EXPECT_EQ(score_color(-std::numeric_limits<double>::infinity()), "#dc3545");
}

TEST(MetricRow, PassAndFailLines) {
    EXPECT_EQ(metric_row("mmd_rbf", "0.7000", true, true),
              "<tr><td>mmd_rbf</td><td>0.7000</td><td>0.70</td>"
              "<td style='color:#28a745;font-weight:bold'>PASS</td></tr>\n");
    EXPECT_EQ(metric_row("membership_inference_auc", "0.3001", false, false),
              "<tr><td>membership_inference_auc</td><td>0.3001</td><td>0.30</td>"
              "<td style='color:#dc3545;font-weight:bold'>FAIL</td></tr>\n");
}

TEST(MetricRow, EscapesTheName) {
    EXPECT_EQ(metric_row("ks_<b>", "1.0000", true, true).rfind("<tr><td>ks_&lt;b&gt;</td>", 0), 0u);
}

TEST(Thresholds, ValuesAndText) {
    EXPECT_EQ(pass_threshold(true), 0.7);
    EXPECT_EQ(pass_threshold(false), 0.3);
    EXPECT_EQ(threshold_text(true), "0.70");
    EXPECT_EQ(threshold_text(false), "0.30");
}

TEST(HistogramBins, TwentyValuesPerBinBetweenTenAndFifty) {
    const std::vector<std::pair<std::size_t, long>> cases = {{0, 10},   {1, 10},   {219, 10},  {220, 11},    {239, 11},
                                                             {240, 12}, {999, 49}, {1000, 50}, {1000000, 50}};
    for (const auto& [values, bins] : cases) EXPECT_EQ(histogram_bins(values), bins) << values;
}

TEST(PlotFragments, CardsAndSections) {
    EXPECT_EQ(distribution_card("QUJD", "age"),
              "<div class='plot-card'><img src='data:image/png;base64,QUJD' alt='age'></div>");
    EXPECT_EQ(distribution_card("QUJD", "x' onerror='alert(1)"),
              "<div class='plot-card'><img src='data:image/png;base64,QUJD' alt='x&#x27; onerror=&#x27;alert(1)'>"
              "</div>");
    EXPECT_EQ(correlation_section("QUJD"),
              "<h2>Correlation Comparison</h2><div class='plot-card' style='max-width:800px'>"
              "<img src='data:image/png;base64,QUJD' alt='Correlation'></div>");
}

PageFields sample_fields() {
    PageFields fields;
    fields.title_name = "GaussianCopula";
    fields.heading_name = "GaussianCopula";
    fields.timestamp = "2024-01-01T00:00:00";
    fields.dataset_name = "adult";
    fields.real_rows = "1,234,567";
    fields.synthetic_rows = "50";
    fields.column_count = "3";
    fields.overall_text = "0.75";
    fields.score_color = "#ffc107";
    fields.metric_rows = "";
    fields.distribution_html = "";
    fields.correlation_html = "";
    return fields;
}

TEST(RenderPage, FortyThreeLinesWithoutMetricsOrPlots) {
    std::vector<std::string> lines = lines_of(render_page(sample_fields()));
    ASSERT_EQ(lines.size(), 43u);
    EXPECT_EQ(lines[0], "<!DOCTYPE html>");
    EXPECT_EQ(lines[2], "<head><title>Velmora Evaluation Report \xe2\x80\x94 GaussianCopula</title>");
    EXPECT_EQ(lines[13], ".score-value{font-size:56px;font-weight:bold;color:#ffc107;}");
    EXPECT_EQ(lines[23], "<h1>Evaluation Report \xe2\x80\x94 GaussianCopula</h1>");
    EXPECT_EQ(lines[25], "<p>Generated: 2024-01-01T00:00:00 | Dataset: adult</p>");
    EXPECT_EQ(lines[26], "<p>Real data: 1,234,567 rows | Synthetic data: 50 rows | 3 columns</p>");
    EXPECT_EQ(lines[30], "<div class=\"score-value\">0.75</div>");
    EXPECT_EQ(lines[34], "<tr><th>Metric</th><th>Value</th><th>Threshold</th><th>Pass/Fail</th></tr>");
    EXPECT_EQ(lines[35], "");
    EXPECT_EQ(lines[36], "</table>");
    EXPECT_EQ(lines[37], "");
    EXPECT_EQ(lines[38], "");
    EXPECT_EQ(lines[42], "</html>");
}

TEST(RenderPage, RowsAndPlotsGoInAsTheyAre) {
    PageFields fields = sample_fields();
    std::string rows = metric_row("a", "1.0000", true, true) + metric_row("b", "0.2000", false, true);
    fields.metric_rows = rows;
    fields.distribution_html = "<h2>Distribution Comparison</h2><div class='plots-grid'></div>";
    fields.correlation_html = "<h2>Correlation Comparison</h2>";
    std::vector<std::string> lines = lines_of(render_page(fields));
    ASSERT_EQ(lines.size(), 45u);
    EXPECT_EQ(lines[35].rfind("<tr><td>a</td>", 0), 0u);
    EXPECT_EQ(lines[36].rfind("<tr><td>b</td>", 0), 0u);
    EXPECT_EQ(lines[37], "");
    EXPECT_EQ(lines[38], "</table>");
    EXPECT_EQ(lines[39], fields.distribution_html);
    EXPECT_EQ(lines[40], fields.correlation_html);
}

TEST(RenderPage, EscapesEveryReportValue) {
    PageFields fields = sample_fields();
    fields.title_name = "</title><script>alert(1)</script>";
    fields.heading_name = "A&B";
    fields.timestamp = "\"now\"";
    fields.dataset_name = "<adult>";
    fields.real_rows = "<1>";
    fields.synthetic_rows = "<2>";
    fields.column_count = "'3'";
    std::string page = render_page(fields);
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    std::vector<std::string> lines = lines_of(page);
    EXPECT_EQ(lines[2],
              "<head><title>Velmora Evaluation Report \xe2\x80\x94 &lt;/title&gt;&lt;script&gt;alert(1)&lt;/script&gt;"
              "</title>");
    EXPECT_EQ(lines[23], "<h1>Evaluation Report \xe2\x80\x94 A&amp;B</h1>");
    EXPECT_EQ(lines[25], "<p>Generated: &quot;now&quot; | Dataset: &lt;adult&gt;</p>");
    EXPECT_EQ(lines[26], "<p>Real data: &lt;1&gt; rows | Synthetic data: &lt;2&gt; rows | &#x27;3&#x27; columns</p>");
}

}  // namespace
}  // namespace velmora::report_page
