// Initialisation entry point of the `inv` extension module and the bindings of its two
// functions. Conversion of arguments and results is pybind11's Eigen support with a faster
// copy for large arguments; nothing numerical happens here.
#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>

#include "copy.hpp"
#include "linalg.hpp"
#include "memory.hpp"

// pybind11 converts the arguments of a call with a fold expression when the compiler offers
// one, and that fold stops at the first rejected argument. The module promises that every
// argument is converted before any outcome is looked at, which pybind11's C++14 loop does.
#ifdef __cpp_fold_expressions
#error "module.cpp must be compiled as C++14 so that every argument of a call is converted"
#endif

namespace py = pybind11;

namespace pybind11 {
namespace detail {

// A native float64 array of at most two dimensions as the copy functions read it, its steps in
// doubles (0 along a missing axis); false for any other array, which NumPy copies.
inline bool float64_view(const array& source, linalg::MatrixView* view) {
    const auto* proxy = array_proxy(source.ptr());
    if (source.ndim() > 2 || (proxy->flags & npy_api::NPY_ARRAY_ALIGNED_) == 0 ||
        !npy_api::get().PyArray_EquivTypes_(proxy->descr, dtype::of<double>().ptr())) {
        return false;
    }
    ssize_t steps[2] = {0, 0};
    for (ssize_t axis = 0; axis < source.ndim(); ++axis) {
        if (source.strides(axis) % static_cast<ssize_t>(sizeof(double)) != 0) {
            return false;
        }
        steps[axis] = source.strides(axis) / static_cast<ssize_t>(sizeof(double));
    }
    *view = linalg::MatrixView{static_cast<const double*>(source.data()),
                               source.ndim() > 0 ? source.shape(0) : 1,
                               source.ndim() > 1 ? source.shape(1) : 1, steps[0], steps[1]};
    return true;
}

// An argument copy whose storage is allocated at its argument's turn but whose values are
// not yet copied from `source`.
struct unfilled_copy {
    linalg::MatrixView source{};  // source.data == nullptr once the copy is filled
    double* target = nullptr;
};

// The copy of this call's earlier argument that is still to be filled, if any. The next
// argument's conversion fills it before anything that could run Python code (an __array__
// method, a warning's filter, a cast during which NumPy lets other threads run), which could
// change its source; a native float64 ndarray, which the module copies itself, runs none.
// One pointer serves every thread: it is set at the end of one argument's conversion and
// taken at the start of the next, and between the two nothing runs that could let another
// thread take the interpreter lock (a thread-local one cost a small call 5% in lookups).
static unfilled_copy* pending_copy = nullptr;

// Fills `earlier`'s copy, if any, and forgets it.
inline void fill(unfilled_copy*& earlier) {
    if (earlier != nullptr) {
        linalg::copy_matrix(earlier->source, earlier->target);
        earlier->source.data = nullptr;
        earlier = nullptr;
    }
}

// pybind11's conversion of a dense Eigen argument, step for step, with three changes: a
// large argument copy is advised onto huge pages before it is filled, since on fresh memory
// the page faults of the copy can cost more than the arithmetic that follows; a native
// float64 source is copied by linalg::copy_matrix, which copies a row-major one far faster than
// NumPy's copy into column-major storage does; and running out of memory while NumPy reads
// or copies the argument raises that MemoryError, where pybind11 would reject the argument
// and so blame its type for a lack of memory.
// Its name (and so every signature, docstring and error text) is pybind11's own.
// With MayDefer, a native float64 ndarray passed as it is (whose conversion runs no Python
// code and cannot fail once the copy is allocated) is left unfilled for the function called to
// copy on its way through it; its copy is filled at once instead if a later argument's
// conversion could run Python code (pending_copy).
template <typename Type, bool MayDefer = false>
struct advised_eigen_argument {
    using Scalar = typename Type::Scalar;
    using props = EigenProps<Type>;

    advised_eigen_argument() = default;
    advised_eigen_argument(const advised_eigen_argument&) = delete;
    advised_eigen_argument& operator=(const advised_eigen_argument&) = delete;
    ~advised_eigen_argument() {
        if (pending_copy == &unfilled) {
            pending_copy = nullptr;
        }
    }

    bool load(handle src, bool convert) {
        unfilled_copy* earlier = pending_copy;
        pending_copy = nullptr;
        unfilled = unfilled_copy{};
        if (!convert && !isinstance<array_t<Scalar>>(src)) {
            return false;
        }
        // NumPy's conversion gives a plain ndarray itself back as it is; it is taken as it is.
        auto& api = npy_api::get();
        const bool plain = Py_TYPE(src.ptr()) == api.PyArray_Type_;
        if (!plain) {
            fill(earlier);
        }
        auto buf = plain ? reinterpret_borrow<array>(src)
                         : reinterpret_steal<array>(api.PyArray_FromAny_(
                               src.ptr(), nullptr, 0, 0, npy_api::NPY_ARRAY_ENSUREARRAY_, nullptr));
        if (!buf) {
            return rejected();
        }
        auto dims = buf.ndim();
        if (dims < 1 || dims > 2) {
            return false;
        }
        auto fits = props::conformable(buf);
        if (!fits) {
            return false;
        }
        value = Type(fits.rows, fits.cols);
        linalg::advise_huge_pages(value.data(), value.size());
        // A native float64 source of either rank is read through its steps as it is; NumPy's
        // copy needs the two lined up: a 1-D source into the copy without its length-1 axes,
        // or a 2-D source of a vector without its own.
        linalg::MatrixView view{};
        if (float64_view(buf, &view)) {
            if (MayDefer && plain) {
                unfilled = unfilled_copy{view, value.data()};
                pending_copy = &unfilled;
                return true;
            }
            linalg::copy_matrix(view, value.data());
            return true;
        }
        auto ref = reinterpret_steal<array>(eigen_ref_array<props>(value));
        if (dims == 1) {
            ref = squeezed(ref);
        } else if (ref.ndim() == 1) {
            buf = squeezed(buf);
        }
        fill(earlier);
        if (npy_api::get().PyArray_CopyInto_(ref.ptr(), buf.ptr()) < 0) {
            return rejected();
        }
        return true;
    }

    // NumPy's error is discarded and the argument rejected, unless it is a MemoryError.
    static bool rejected() {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            throw error_already_set();
        }
        PyErr_Clear();
        return false;
    }

    // The array without its length-1 axes (array::squeeze() returns no array on failure).
    static array squeezed(array& source) {
        auto result = source.squeeze();
        if (!result) {
            throw error_already_set();
        }
        return result;
    }

    // A result moves to the heap under an owning capsule and NumPy views it, no copy made,
    // as pybind11 returns any Eigen value: a float64 array of the result's shape, its columns
    // contiguous, writeable, the capsule its base. pybind11's own eigen_encapsulate() leaks the
    // heap object when the capsule cannot be created; here it is released unless the capsule
    // owns it. The array is made by NumPy's own constructor, without pybind11's containers of
    // shape and steps, which cost a small call as much as its arithmetic. A result without
    // elements has no storage: NumPy then allocates the (empty) array itself, and the capsule,
    // left without references, frees the heap object at once.
    static handle cast(Type&& src, return_value_policy /* policy */, handle /* parent */) {
        std::unique_ptr<Type> result(new Type(std::move(src)));
        auto owner = reinterpret_steal<object>(PyCapsule_New(result.get(), nullptr, destroy));
        if (!owner) {
            throw error_already_set();
        }
        Type& stored = *result.release();
        auto& api = npy_api::get();
        Py_intptr_t shape[2] = {stored.rows(), stored.cols()};
        Py_intptr_t steps[2] = {sizeof(Scalar), static_cast<Py_intptr_t>(sizeof(Scalar)) * stored.rows()};
        auto made = reinterpret_steal<object>(api.PyArray_NewFromDescr_(
            api.PyArray_Type_, api.PyArray_DescrFromType_(npy_api::NPY_DOUBLE_),
            props::vector ? 1 : 2, shape, steps, stored.data(),
            stored.data() != nullptr ? npy_api::NPY_ARRAY_WRITEABLE_ : 0, nullptr));
        if (!made) {
            throw error_already_set();
        }
        // NumPy takes the reference to the capsule whether or not it can keep it.
        if (stored.data() != nullptr && api.PyArray_SetBaseObject_(made.ptr(), owner.release().ptr()) < 0) {
            throw error_already_set();
        }
        return made.release();
    }

    // The capsule's destructor, which leaves any pending error as it finds it.
    static void destroy(PyObject* owner) {
        PyObject *type, *error, *trace;
        PyErr_Fetch(&type, &error, &trace);
        delete static_cast<Type*>(PyCapsule_GetPointer(owner, nullptr));
        PyErr_Restore(type, error, trace);
    }

    static constexpr auto name = props::descriptor;

    // NOLINTNEXTLINE(google-explicit-constructor)
    operator Type*() { return &value; }
    // NOLINTNEXTLINE(google-explicit-constructor)
    operator Type&() { return value; }
    // NOLINTNEXTLINE(google-explicit-constructor)
    operator Type&&() && { return std::move(value); }
    template <typename T>
    using cast_op_type = movable_cast_op_type<T>;

   protected:
    Type value;
    unfilled_copy unfilled;
};

// The first argument of inv and of lstsq: its copy, with the source it is still to be copied
// from, if any.
struct deferred_matrix {
    Eigen::MatrixXd& copy;
    const linalg::MatrixView* unfilled_source;
};

template <>
class type_caster<deferred_matrix> : public advised_eigen_argument<Eigen::MatrixXd, true> {
   public:
    // NOLINTNEXTLINE(google-explicit-constructor)
    operator deferred_matrix() {
        return deferred_matrix{value, unfilled.source.data != nullptr ? &unfilled.source : nullptr};
    }
    template <typename T>
    using cast_op_type = deferred_matrix;
};

template <>
class type_caster<Eigen::MatrixXd> : public advised_eigen_argument<Eigen::MatrixXd> {};

template <>
class type_caster<Eigen::VectorXd> : public advised_eigen_argument<Eigen::VectorXd> {};

}  // namespace detail
}  // namespace pybind11

namespace {

// The module is named "code" whatever file name it is imported under, so the module object
// is created here rather than by pybind11's module macro, which names it after the file.
PyObject* create_module() {
    try {
        // The interpreter keeps referring to the definition for the rest of the process.
        auto* definition = new py::module_::module_def();
        auto module =
            py::module_::create_extension_module("code", "auto-compiled c++ extension", definition);
        module.def("inv", [](py::detail::deferred_matrix a) {
            return linalg::inv(std::move(a.copy), a.unfilled_source);
        });
        module.def("lstsq", [](py::detail::deferred_matrix a, Eigen::VectorXd& b) {
            return linalg::lstsq(a.copy, b, a.unfilled_source);
        });
        return module.release().ptr();
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
}

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_inv() {
    PYBIND11_CHECK_PYTHON_VERSION
    // pybind11's registry is made ready outside the module's own failure translation; a
    // failure there must still reach the importer as an exception, not as a crash.
    try {
        PYBIND11_ENSURE_INTERNALS_READY
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        return nullptr;
    }
    return create_module();
}
