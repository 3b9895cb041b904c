// The pieces of velmora.core_generator.noiseforge, one registration function per topic,
// and the helpers they share.
#pragma once

#include "velmora_python.hpp"

namespace velmora::noiseforge {

// The module body: imports, the process-wide warning filter and logging set-up, the
// module logger, NoiseforgeProcessor and apply_noiseforge, defined in `module` (the
// extension itself, or __main__ when the demonstration runs).
void define_module_body(py::module_& module);

// NoiseforgeProcessor's methods, in the order the class defines them.
extern const FunctionSpec init_spec;
extern const FunctionSpec detect_column_types_spec;
extern const FunctionSpec add_laplace_noise_spec;
extern const FunctionSpec add_gaussian_noise_spec;
extern const FunctionSpec apply_numerical_dp_spec;
extern const FunctionSpec apply_categorical_dp_spec;
extern const FunctionSpec apply_minimal_noise_spec;
extern const FunctionSpec apply_dp_spec;
extern const FunctionSpec get_privacy_info_spec;
extern const FunctionSpec apply_noiseforge_spec;

// The demonstration run as the main program (python -m velmora.core_generator.noiseforge).
extern const FunctionSpec run_as_main_spec;

class WorkFrame;

// The passes behind _apply_numerical_dp, _apply_categorical_dp, _apply_minimal_noise and
// the "gaussian" method. Each reads column `col` from `source` and replaces it in `work`;
// `source` may be the working frame itself as long as no label repeats in `cols`.
void numerical_pass(const Call& call, const py::object& source, WorkFrame& work, const py::list& cols);
void categorical_pass(const Call& call, const py::object& source, WorkFrame& work, const py::list& cols);
void minimal_pass(const Call& call, const py::object& df, WorkFrame& work);
// Reads each column from the working frame, as the "gaussian" method does.
void gaussian_pass(const Call& call, WorkFrame& work, const py::object& cols);

// logger.info(message) / logger.warning(message) on the module logger, looked up at call time.
void log_info(const Call& call, const py::object& message);
void log_warning(const Call& call, const py::object& message);

// Whether self.<spec.name> is this module's own method, not a subclass's override (or
// an attribute set on the instance): the passes may then skip the call.
bool is_own_method(const py::object& self, const FunctionSpec& spec);

// The dtypes the categorical columns are selected by: object, category and bool.
py::list categorical_dtypes();

// df.select_dtypes(include=include).columns, without copying the frame's data.
py::object selected_columns(const py::object& df, const py::list& include);

// The labels of the frame's number columns: select_dtypes(include=[np.number]) without
// the timedelta columns pandas counts among numbers. Durations are neither numerical
// nor categorical here and are left untouched (adding float noise to them fails).
py::object number_columns(const Call& call, const py::object& df);

}  // namespace velmora::noiseforge
