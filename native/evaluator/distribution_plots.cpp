// TabularEvaluator._generate_plot_html: histograms of the shared numeric columns and a
// pair of correlation heatmaps, drawn with matplotlib and embedded as base64 PNG.
// Plotting is best effort: matplotlib missing, a column that cannot be drawn or a
// failed heatmap simply leave their part of the page out.
#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "velmora_python.hpp"
#include "report_page_text.hpp"
#include "report_page_text_bridge.hpp"

namespace velmora::evaluator {
namespace {

namespace text = velmora::report_page;

// The modules a call draws with, imported on every call so that matplotlib stays an
// optional dependency and the caller's import hooks are honoured.
struct PlotModules {
    py::object plt;
    py::object io;
    py::object base64;
};

// False when one of the imports raised ImportError; other errors propagate.
bool import_plot_modules(PlotModules& modules) {
    try {
        py::module_ matplotlib = py::module_::import("matplotlib");
        matplotlib.attr("use")("Agg");
        modules.plt = py::module_::import("matplotlib.pyplot");
        modules.io = py::module_::import("io");
        modules.base64 = py::module_::import("base64");
        return true;
    } catch (py::error_already_set& error) {
        if (!matches(error, ErrorKind::import_error)) throw;
        return false;
    }
}

// Runs one best-effort drawing step. `figure` is set by the step once it has made its
// figure and reset once the figure is closed; a step that fails in between gets its
// figure closed here, so no failure leaves a figure in pyplot's registry. An Exception
// is then dropped; anything else (KeyboardInterrupt, SystemExit) propagates.
template <typename Step>
void draw_best_effort(const PlotModules& modules, Step&& step) {
    py::object figure;
    try {
        step(figure);
    } catch (py::error_already_set& error) {
        if (figure) {
            py::object close = modules.plt.attr("close");
            binding::swallow_exception([&] { close(figure); });
        }
        if (!matches(error, ErrorKind::exception)) throw;
    }
}

// Saves the figure as a 100 dpi PNG, closes it and returns the PNG as base64 text.
std::string png_base64(const PlotModules& modules, py::object& figure) {
    py::object buffer = modules.io.attr("BytesIO")();
    figure.attr("savefig")(buffer, py::arg("format") = "png", py::arg("dpi") = 100);
    modules.plt.attr("close")(figure);
    figure = py::object();
    py::object encoded = modules.base64.attr("b64encode")(buffer.attr("getvalue")()).attr("decode")();
    return utf8_of(encoded);
}

std::string distribution_card(const Call& call, const PlotModules& modules, py::handle column, py::object& figure) {
    const py::object& real_df = call[0];
    const py::object& synthetic_df = call[1];
    auto [fig, ax] = unpack_pair(modules.plt.attr("subplots")(py::arg("figsize") = py::make_tuple(5, 3.5)));
    figure = fig;
    py::object real_values = real_df[column].attr("dropna")();
    py::object synthetic_values = contains(synthetic_df.attr("columns"), column)
                                      ? synthetic_df[column].attr("dropna")()
                                      : call.global("pd").attr("Series")(py::arg("dtype") = builtin("float"));
    // The real values alone set the bins, so both histograms share them.
    long bins = text::histogram_bins(py::len(real_values));
    ax.attr("hist")(real_values, py::arg("bins") = bins, py::arg("alpha") = 0.6, py::arg("label") = "Real",
                    py::arg("color") = "#0066cc", py::arg("density") = true);
    if (py::len(synthetic_values) > 0) {
        ax.attr("hist")(synthetic_values, py::arg("bins") = bins, py::arg("alpha") = 0.6,
                        py::arg("label") = "Synthetic", py::arg("color") = "#ff6600", py::arg("density") = true);
    }
    ax.attr("set_title")(column, py::arg("fontsize") = 11, py::arg("fontweight") = "bold");
    ax.attr("legend")(py::arg("fontsize") = 9);
    ax.attr("tick_params")(py::arg("labelsize") = 8);
    fig.attr("tight_layout")();
    std::string encoded = png_base64(modules, figure);
    return text::distribution_card(encoded, formatted(column, ""));
}

// Draws one heatmap with its title and tick positions; returns the image.
py::object draw_heatmap(const py::object& axes, const py::object& correlation, const char* title, py::handle ticks) {
    py::object image = axes.attr("imshow")(correlation.attr("values"), py::arg("cmap") = "RdBu_r", py::arg("vmin") = -1,
                                           py::arg("vmax") = 1, py::arg("aspect") = "auto");
    axes.attr("set_title")(title, py::arg("fontsize") = 11, py::arg("fontweight") = "bold");
    axes.attr("set_xticks")(ticks);
    axes.attr("set_yticks")(ticks);
    return image;
}

void label_heatmap(const py::object& axes, py::handle labels) {
    axes.attr("set_xticklabels")(labels, py::arg("rotation") = 45, py::arg("ha") = "right", py::arg("fontsize") = 7);
    axes.attr("set_yticklabels")(labels, py::arg("fontsize") = 7);
}

std::string correlation_section(const Call& call, const PlotModules& modules, const py::list& shared_numeric,
                                py::object& figure) {
    const py::object& real_df = call[0];
    const py::object& synthetic_df = call[1];
    auto [fig, axes] = unpack_pair(modules.plt.attr("subplots")(1, 2, py::arg("figsize") = py::make_tuple(10, 4.5)));
    figure = fig;
    py::object real_correlation = real_df[shared_numeric].attr("corr")();
    py::object synthetic_correlation = synthetic_df[shared_numeric].attr("corr")();
    py::object ticks = call.global("range")(py::len(shared_numeric));
    py::object real_axes = axes[py::int_(0)];
    py::object synthetic_axes = axes[py::int_(1)];

    py::object image = draw_heatmap(real_axes, real_correlation, "Real Correlation", ticks);
    // Tick labels keep the first 12 items of each label (c[:12]); an integer label cannot
    // be sliced, which ends the step with the real heatmap half labelled.
    py::slice first_twelve(py::none(), py::int_(12), py::none());
    py::list labels;
    for (py::handle label : shared_numeric) labels.append(label[first_twelve]);
    label_heatmap(real_axes, labels);
    draw_heatmap(synthetic_axes, synthetic_correlation, "Synthetic Correlation", ticks);
    label_heatmap(synthetic_axes, labels);
    // The two heatmaps are laid out first; the one colour bar, taken from the real
    // heatmap, then takes its room beside them from both axes. (Laid out afterwards,
    // tight_layout cannot place the bar's axes: it warns and spreads the heatmaps back
    // under the bar.)
    fig.attr("tight_layout")();
    fig.attr("colorbar")(image, py::arg("ax") = axes, py::arg("shrink") = 0.8);
    return text::correlation_section(png_base64(modules, figure));
}

py::object generate_plot_html(const Call& call) {
    const py::object& real_df = call[0];
    const py::object& synthetic_df = call[1];
    std::string dist_html;
    std::string corr_html;

    PlotModules modules;
    if (!import_plot_modules(modules)) return py::make_tuple(py::str(""), py::str(""));

    py::list include;
    include.append(call.global("np").attr("number"));
    py::object numeric_cols =
        real_df.attr("select_dtypes")(py::arg("include") = include).attr("columns").attr("tolist")();

    py::list shared_numeric;
    for (py::handle column : numeric_cols) {
        if (contains(synthetic_df.attr("columns"), column)) shared_numeric.append(column);
    }
    constexpr std::size_t max_distribution_cards = 10;
    std::size_t plot_count = std::min(max_distribution_cards, py::len(shared_numeric));

    if (plot_count > 0) {
        dist_html = text::distribution_opening;
        for (std::size_t i = 0; i < plot_count; ++i) {
            py::object column = shared_numeric[i];
            draw_best_effort(
                modules, [&](py::object& figure) { dist_html += distribution_card(call, modules, column, figure); });
        }
        dist_html += text::distribution_closing;
    }

    if (py::len(shared_numeric) >= 2) {
        draw_best_effort(modules, [&](py::object& figure) {
            corr_html = correlation_section(call, modules, shared_numeric, figure);
        });
    }
    return py::make_tuple(python_text(dist_html), python_text(corr_html));
}

}  // namespace

const FunctionSpec generate_plot_html_spec{
    .name = "_generate_plot_html",
    .params = {{.name = "real_df", .annotation = "pd.DataFrame"},
               {.name = "synthetic_df", .annotation = "pd.DataFrame"}},
    .return_annotation = "tuple",
    .doc =
        "Generate base64-encoded distribution and correlation plots.\n"
        "\n"
        "Returns (dist_plots_html, corr_plots_html) strings.",
    .implementation = generate_plot_html,
};

}  // namespace velmora::evaluator
