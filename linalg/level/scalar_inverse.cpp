// The tiny inverse of the smallest sizes, compiled without the compiler's auto-vectoriser
// (linalg/CMakeLists.txt): there its vector code for the unrolled steps ran slower than
// scalar code (tuning.hpp).
#include "tiny_inverse.hpp"
#include "tuning.hpp"

namespace linalg {
namespace LINALG_LEVEL_NAMESPACE {

void scalar_tiny_inverse(const MatrixView& source, double* a, Index n) {
    tiny_inverse<max_scalar_tiny_inverse, 1>(source, a, n);
}

}  // namespace LINALG_LEVEL_NAMESPACE
}  // namespace linalg
