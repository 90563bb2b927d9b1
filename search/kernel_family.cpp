#include "kernel_family.h"

#include <cstring>

#include "extended_precision.h"

namespace {

float FromBits(DWORD bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

}  // namespace

Weights WeightsForDraw(int u) {
    const long double q = static_cast<long double>(u) / kDrawMax * static_cast<long double>(0.1) -
                          static_cast<long double>(0.1236) - static_cast<long double>(0.05);
    return WeightsForEdge(static_cast<float>(q));
}

Weights WeightsForEdge(float q) { return Weights{q, static_cast<float>(1.0L - 4.0L * q)}; }

Weights StartingWeights() { return Weights{FromBits(kStartingEdgeBits), FromBits(kStartingCentreBits)}; }

void BuildKernel(Weights w, float kernel[kKernelSize]) {
    const float k[kKernelSize] = {0, w.q, 0, w.q, w.r, w.q, 0, w.q, 0};
    std::memcpy(kernel, k, sizeof k);
}
