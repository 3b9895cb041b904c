// velmora.core_generator.noiseforge: differential-privacy style perturbation of a
// preprocessed DataFrame. Built as the __init__ of the package folder of that name, so
// that `python -m velmora.core_generator.noiseforge` can run the demonstration through
// the folder's __main__ launcher.
#include "velmora_python.hpp"
#include "noiseforge_parts.hpp"

namespace {

constexpr const char* module_doc =
    "Differential Privacy Module for Velmora\n"
    "\n"
    "A minimal module that applies differential privacy to preprocessed DataFrames\n"
    "with configurable privacy parameters and minimal noise addition.\n";

}  // namespace

PYBIND11_MODULE(noiseforge, module) {
    module.doc() = module_doc;
    velmora::binding::register_in_sys_modules(module);
    velmora::noiseforge::define_module_body(module);
    velmora::binding::add_function(module, velmora::noiseforge::run_as_main_spec);
}
