// Initialisation entry point of the `inv` extension module and the bindings of its two
// functions. Conversion of arguments and results is pybind11's Eigen support; nothing
// numerical happens here.
#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>

#include "linalg.hpp"

// pybind11 converts the arguments of a call with a fold expression when the compiler offers
// one, and that fold stops at the first rejected argument. The module promises that every
// argument is converted before any outcome is looked at, which pybind11's C++14 loop does.
#ifdef __cpp_fold_expressions
#error "module.cpp must be compiled as C++14 so that every argument of a call is converted"
#endif

namespace py = pybind11;

namespace {

// The module is named "code" whatever file name it is imported under, so the module object
// is created here rather than by pybind11's module macro, which names it after the file.
PyObject *create_module() {
    try {
        // The interpreter keeps referring to the definition for the rest of the process.
        auto *definition = new py::module_::module_def();
        auto module = py::module_::create_extension_module("code", "auto-compiled c++ extension",
                                                           definition);
        module.def("inv", &linalg::inv);
        module.def("lstsq", &linalg::lstsq);
        return module.release().ptr();
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
}

}  // namespace

extern "C" PYBIND11_EXPORT PyObject *PyInit_inv() {
    PYBIND11_CHECK_PYTHON_VERSION
    // pybind11's registry is made ready outside the module's own failure translation; a
    // failure there must still reach the importer as an exception, not as a crash.
    try {
        PYBIND11_ENSURE_INTERNALS_READY
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        return nullptr;
    }
    return create_module();
}
