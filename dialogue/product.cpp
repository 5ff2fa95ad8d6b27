// The product of two polynomials, rounded as a float program would store it.
#include "dialogue/product.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

// Wider intermediate floats (x87) would round twice and change the bits.
static_assert(FLT_EVAL_METHOD == 0, "float and double arithmetic must not be wider");

void MultiplyPolynomials(std::span<const float> p1, std::span<const float> p2,
                         std::span<float> product) {
  const std::size_t count = p1.size();
  if (count == 0) return;
  // The first row sets the highest coefficients; the rest grow from zero.
  for (std::size_t j = 0; j < count; ++j) {
    product[j] = static_cast<float>(static_cast<double>(p1[0]) * p2[j]);
  }
  std::fill(product.begin() + static_cast<std::ptrdiff_t>(count), product.end(), 0.0f);
  // A product of two floats is exact in double, so the sum is the same double
  // fused or not, then rounded to float; float arithmetic, fused or in x87's
  // wider registers, would round otherwise.
  for (std::size_t i = 1; i < count; ++i) {
    for (std::size_t j = 0; j < count; ++j) {
      const double sum = static_cast<double>(p1[i]) * p2[j] + product[i + j];
      product[i + j] = static_cast<float>(sum);
    }
  }
  for (std::size_t k = 0; k < product.size(); ++k) {
    if (!std::isinf(product[k])) continue;
    double sum = 0;
    for (std::size_t i = k < count ? 0 : k - count + 1; i <= k && i < count; ++i) {
      sum += static_cast<double>(p1[i]) * p2[k - i];
    }
    product[k] = static_cast<float>(sum);
  }
}
