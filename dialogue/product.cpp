// The product of two polynomials, rounded as a float program would store it.
#include "dialogue/product.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

// Wider intermediate floats (x87) would round twice and change the bits.
static_assert(FLT_EVAL_METHOD == 0, "float and double arithmetic must not be wider");

namespace {

// The terms of one coefficient of the product: p1[i] * p2[k - i], each exact.
struct Terms {
  std::span<const float> p1;
  std::span<const float> p2;
  std::size_t k;

  std::size_t first() const { return k < p1.size() ? 0 : k - p1.size() + 1; }
  std::size_t last() const { return std::min(k, p1.size() - 1); }
  double operator[](std::size_t i) const {
    return static_cast<double>(p1[i]) * p2[k - i];
  }
};

// sum + error is exactly a + b.
void TwoSum(double a, double b, double& sum, double& error) {
  sum = a + b;
  const double b_part = sum - a;
  error = (a - (sum - b_part)) + (b - b_part);
}

// The sign of the exact sum of the terms, less `x`. Each value is grown into
// an expansion of parts whose bits do not overlap, smallest first, with no
// rounding at all; its largest part then outweighs the others together.
int SignOfSumLess(const Terms& terms, double x) {
  std::array<double, kMostFactorCoefficients + 1> parts;
  std::size_t count = 0;
  const auto grow = [&](double value) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
      double error = 0;
      TwoSum(value, parts[i], value, error);
      if (error != 0) parts[kept++] = error;
    }
    if (value != 0) parts[kept++] = value;
    count = kept;
  };
  grow(-x);
  for (std::size_t i = terms.first(); i <= terms.last(); ++i) grow(terms[i]);
  if (count == 0) return 0;
  return parts[count - 1] > 0 ? 1 : -1;
}

// The floats in their order as whole numbers: a float's bits for one that is
// positive, less those of its magnitude for one that is negative. The rank
// just past the largest float stands for 2^128, which rounds to infinity.
constexpr std::int64_t kInfinityRank = 0x7F800000;

double ValueOfRank(std::int64_t rank) {
  const auto magnitude = static_cast<std::uint32_t>(rank < 0 ? -rank : rank);
  const double value = magnitude == kInfinityRank
                           ? 0x1p128
                           : static_cast<double>(std::bit_cast<float>(magnitude));
  return rank < 0 ? -value : value;
}

// The float nearest the exact sum of the terms, ties to even, as IEEE rounds:
// found among the floats by halving, comparing with the sum exactly.
float RoundedExactly(const Terms& terms) {
  std::int64_t low = -kInfinityRank;  // the sum is at or above low's value
  std::int64_t high = kInfinityRank;  // and below high's
  if (SignOfSumLess(terms, ValueOfRank(high)) >= 0) low = high;
  if (SignOfSumLess(terms, ValueOfRank(low)) < 0) high = low;
  while (high - low > 1) {
    const std::int64_t middle = low + (high - low) / 2;
    if (SignOfSumLess(terms, ValueOfRank(middle)) >= 0) {
      low = middle;
    } else {
      high = middle;
    }
  }
  const int side = SignOfSumLess(terms, (ValueOfRank(low) + ValueOfRank(high)) / 2);
  const std::int64_t nearest = side < 0 || (side == 0 && low % 2 == 0) ? low : high;
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  if (nearest == kInfinityRank) return kInfinity;
  if (nearest == -kInfinityRank) return -kInfinity;
  // A sum too small for a float keeps its sign, as IEEE's rounding does.
  if (nearest == 0) return SignOfSumLess(terms, 0) < 0 ? -0.0f : 0.0f;
  return static_cast<float>(ValueOfRank(nearest));
}

}  // namespace

void MultiplyPolynomials(std::span<const float> p1, std::span<const float> p2,
                         std::span<float> product) {
  const std::size_t count = p1.size();
  assert(p2.size() == count && count <= kMostFactorCoefficients);
  assert(product.size() == (count == 0 ? 0 : 2 * count - 1));
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
    if (std::isinf(product[k])) product[k] = RoundedExactly({p1, p2, k});
  }
}
