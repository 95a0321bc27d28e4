// Prints the instruction-set level that the kernels run at on this CPU.
#include <cstdio>

#include "linalg.hpp"

int main() {
    std::printf("%s\n", linalg::level());
    return 0;
}
