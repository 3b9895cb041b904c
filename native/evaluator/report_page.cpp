// TabularEvaluator.to_html: one self-contained HTML page for an evaluation report, with
// the overall score, a PASS/FAIL table and the plots of _generate_plot_html. Every value
// taken from the report is escaped as HTML text, so names holding markup cannot break
// the page or inject script into it.
#include <string>
#include <utility>

#include "velmora_python.hpp"
#include "evaluator_parts.hpp"
#include "report_page_text.hpp"
#include "report_page_text_bridge.hpp"
#include "sister_modules.hpp"

namespace velmora::evaluator {
namespace {

namespace text = velmora::report_page;

// The mean value of the higher-is-better metrics (0.0 when there are none), as a float.
py::object overall_score(const Call& call, const py::dict& all_metrics) {
    py::list hib_vals;
    for (auto entry : all_metrics) {
        if (truth(entry.second.attr("higher_is_better"))) hib_vals.append(entry.second.attr("value"));
    }
    if (py::len(hib_vals) == 0) return py::float_(0.0);
    py::object total = call.global("sum")(hib_vals);
    return to_float(divide(total, py::int_(py::len(hib_vals))));
}

// One table line per metric, in order, with its verdict against the threshold.
std::string metric_rows(const py::dict& all_metrics) {
    std::string rows;
    for (auto entry : all_metrics) {
        py::handle metric = entry.second;
        bool higher_is_better = truth(metric.attr("higher_is_better"));
        py::float_ threshold(text::pass_threshold(higher_is_better));
        // The verdict reads higher_is_better again, as each read may differ for a
        // computed attribute.
        Comparison op = truth(metric.attr("higher_is_better")) ? Comparison::ge : Comparison::le;
        bool passed = truth(rich_compare(metric.attr("value"), threshold, op));
        std::string name = formatted(entry.first, "");
        rows += text::metric_row(name, formatted(metric.attr("value"), ".4f"), higher_is_better, passed);
    }
    return rows;
}

// Writes the page to `path` in UTF-8 with one write, whole or not at all, through
// velmora._files (the writer the command line uses too): a temporary file in the same
// folder is renamed over `path`, so a failure part-way (a full disk, a file-size limit)
// leaves any earlier page as it was; an existing page keeps its permission bits (a
// symbolic link is followed, so the file it names is replaced); a device or a pipe is
// written through, not replaced. The file is opened with the `open` the module's
// globals name, as a Python module body would. The file is optional output: an OSError
// (also a path not written at all: a block device, a socket, a missing folder) is
// dropped; any other error propagates.
void write_page(const Call& call, const py::object& path, const py::str& html) {
    // Text UTF-8 cannot hold (a lone surrogate from a label) fails here, before any
    // file is touched.
    utf8_of(html);
    py::object write_text_atomically = import_from(sister::files, "write_text_atomically");
    try {
        write_text_atomically(path, html, py::arg("open_file") = call.global("open"),
                              py::arg("prefix") = ".velmora-page-");
    } catch (py::error_already_set& error) {
        if (!matches(error, ErrorKind::os_error)) throw;
    }
}

py::object to_html(const Call& call) {
    const py::object& report = call[1];
    const py::object& output_path = call[2];
    const py::object& real_df = call[3];
    const py::object& synthetic_df = call[4];
    if (report.is_none()) raise_error(ErrorKind::value_error, "report must be provided.");

    py::dict all_metrics;
    merge_unpacked(all_metrics, report.attr("aggregate_metrics"));
    merge_unpacked(all_metrics, report.attr("privacy_metrics"));

    py::object overall = overall_score(call, all_metrics);
    std::string score_color(text::score_color(overall.cast<double>()));
    std::string rows = metric_rows(all_metrics);

    py::object dist_plots_html = py::str("");
    py::object corr_plots_html = py::str("");
    if (!real_df.is_none() && !synthetic_df.is_none()) {
        std::tie(dist_plots_html, corr_plots_html) =
            unpack_pair(call.self().attr("_generate_plot_html")(real_df, synthetic_df));
    }

    // The report's attributes are read in page order, after the plots.
    std::string title_name = formatted(report.attr("generator_name"), "");
    std::string heading_name = formatted(report.attr("generator_name"), "");
    std::string timestamp = formatted(report.attr("timestamp"), "");
    std::string dataset_name = formatted(report.attr("dataset_name"), "");
    std::string real_rows = formatted(report.attr("real_data_n_rows"), ",");
    std::string synthetic_rows = formatted(report.attr("synthetic_data_n_rows"), ",");
    std::string column_count = formatted(report.attr("n_columns"), "");
    std::string overall_text = formatted(overall, ".2f");
    std::string distribution_html = formatted(dist_plots_html, "");
    std::string correlation_html = formatted(corr_plots_html, "");

    text::PageFields fields;
    fields.title_name = title_name;
    fields.heading_name = heading_name;
    fields.timestamp = timestamp;
    fields.dataset_name = dataset_name;
    fields.real_rows = real_rows;
    fields.synthetic_rows = synthetic_rows;
    fields.column_count = column_count;
    fields.overall_text = overall_text;
    fields.score_color = score_color;
    fields.metric_rows = rows;
    fields.distribution_html = distribution_html;
    fields.correlation_html = correlation_html;
    py::str html = python_text(text::render_page(fields));

    if (!output_path.is_none() && py::len(output_path) > 0) write_page(call, output_path, html);
    return html;
}

// The overall score of the page for any mapping of name to result, so that the report
// records give the page's own figure.
py::object page_overall_score(const Call& call) {
    py::dict all_metrics;
    merge_unpacked(all_metrics, call[0]);
    return overall_score(call, all_metrics);
}

const FunctionSpec overall_score_spec{
    .name = "_overall_score",
    .params = {{.name = "metrics", .annotation = "dict"}},
    .return_annotation = "float",
    .doc =
        "The report page's overall score of ``metrics`` (name -> result): the mean value of\n"
        "        the results whose ``higher_is_better`` is true, 0.0 when there is none.\n"
        "        ",
    .implementation = page_overall_score,
};

const FunctionSpec to_html_spec{
    .name = "to_html",
    .params = {{.name = "self"},
               {.name = "report", .annotation = "'EvaluationReport'", .default_text = "None"},
               {.name = "output_path", .kind = ArgKind::string, .annotation = "str", .default_text = "None"},
               {.name = "real_df", .annotation = "pd.DataFrame", .default_text = "None"},
               {.name = "synthetic_df", .annotation = "pd.DataFrame", .default_text = "None"}},
    .return_annotation = "str",
    .doc =
        "Generate HTML evaluation report with distribution plots and\n"
        "correlation heatmaps.\n"
        "\n"
        "Parameters\n"
        "----------\n"
        "report : EvaluationReport, optional\n"
        "    Report to render. If None, raises ValueError.\n"
        "output_path : str, optional\n"
        "    If provided, write HTML to this path.\n"
        "real_df : pd.DataFrame, optional\n"
        "    Real data for generating distribution comparison plots.\n"
        "synthetic_df : pd.DataFrame, optional\n"
        "    Synthetic data for generating distribution comparison plots.\n"
        "\n"
        "Returns\n"
        "-------\n"
        "str\n"
        "    HTML string.",
    .implementation = to_html,
};

}  // namespace

void add_report_page_members(ClassBuilder& cls) {
    cls.method(to_html_spec).static_method(generate_plot_html_spec).static_method(overall_score_spec);
}

}  // namespace velmora::evaluator
