// The demonstration run when the module is executed as the main program: a seeded sample
// frame, perturbed through both entry points, and the processor's privacy summary.
#include "velmora_python.hpp"
#include "noiseforge_parts.hpp"

namespace velmora::noiseforge {
namespace {

// The builtin print, so output goes through sys.stdout exactly as a script's would.
void print_line(const py::object& value) {
    builtin("print")(value);
}

py::list list_of(std::initializer_list<py::object> items) {
    py::list values;
    for (const py::object& item : items) values.append(item);
    return values;
}

// Runs in __main__ after its body was defined there, so every name (np, pd, the class,
// apply_noiseforge and the logger "__main__") is the main program's own.
void demonstrate(const py::dict& globals) {
    py::object np = globals["np"];
    py::object pd = globals["pd"];
    py::object random = np.attr("random");
    random.attr("seed")(42);
    py::int_ n_samples(1000);

    py::list zero_one = list_of({py::int_(0), py::int_(1)});
    py::dict columns;
    columns["feature_1"] = random.attr("normal")(0, 1, n_samples);
    columns["feature_2"] = random.attr("normal")(0, 1, n_samples);
    columns["feature_3"] = random.attr("choice")(zero_one, n_samples);
    columns["category_1"] = random.attr("choice")(list_of({py::str("A"), py::str("B"), py::str("C")}), n_samples);
    columns["category_2"] = random.attr("choice")(list_of({py::str("X"), py::str("Y")}), n_samples);
    columns["target"] = random.attr("choice")(zero_one, n_samples);
    py::object df_sample = pd.attr("DataFrame")(columns);

    print_line(py::str("Original DataFrame:"));
    print_line(df_sample.attr("head")());
    print_line(py::str("Shape: ") + py::str(df_sample.attr("shape")));

    py::object df_dp =
        globals["apply_noiseforge"](py::arg("df") = df_sample, py::arg("epsilon") = 1.0, py::arg("method") = "minimal",
                                    py::arg("preserve_columns") = list_of({py::str("target")}));
    print_line(py::str("\nAfter applying differential privacy:"));
    print_line(df_dp.attr("head")());
    print_line(py::str("Shape: ") + py::str(df_dp.attr("shape")));

    py::object processor = globals["NoiseforgeProcessor"](py::arg("epsilon") = 1.0);
    processor.attr("apply_dp")(df_sample, py::arg("method") = "minimal");
    py::object privacy_info = processor.attr("get_privacy_info")();

    print_line(py::str("\nPrivacy Information:"));
    for (py::handle item : privacy_info.attr("items")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        if (equals(pair[0], py::str("original_stats"))) continue;
        print_line(py::str("  ") + py::str(pair[0]) + py::str(": ") + py::str(pair[1]));
    }
}

py::object run_as_main(const Call&) {
    py::module_ main = py::reinterpret_borrow<py::module_>(py::module_::import("sys").attr("modules")["__main__"]);
    define_module_body(main);
    demonstrate(main.attr("__dict__"));
    return py::none();
}

}  // namespace

const FunctionSpec run_as_main_spec{
    .name = "_run_as_main",
    .doc =
        "Run the demonstration as the main program: define this module's names in\n"
        "__main__ (whose logger is \"__main__\") and run it there.",
    .implementation = run_as_main,
};

}  // namespace velmora::noiseforge
