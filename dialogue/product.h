// The product of two polynomials of the same order, in single precision.
#pragma once

#include <cstddef>
#include <span>

// The most coefficients a factor may have: an exact sum keeps a part for each
// of its terms, in storage of a fixed size.
inline constexpr std::size_t kMostFactorCoefficients = 10;

// Multiplies `p1` by `p2`, of the same number n of coefficients each (n at most
// kMostFactorCoefficients), highest power first, into the 2n - 1 coefficients
// of `product`; for n = 0, `product` is empty and stays untouched. Every step
// forms the product of two floats, which double holds exactly, adds it in
// double to the stored coefficient, and rounds the sum to float once, when
// storing it: the same bits on every platform and compiler. A coefficient whose
// running sum overflows float is summed again exactly and rounded once to the
// nearest float, so that only a coefficient whose exact value is beyond float
// is infinite, whatever the order of the factors.
void MultiplyPolynomials(std::span<const float> p1, std::span<const float> p2,
                         std::span<float> product);
