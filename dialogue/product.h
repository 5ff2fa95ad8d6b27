// The product of two polynomials of the same order, in single precision.
#pragma once

#include <cstddef>
#include <span>

// Coefficients one factor can hold: orders 0 to 9.
inline constexpr int CoefficientCapacity = 10;
// Coefficients the product of two such factors can have.
inline constexpr int ProductCapacity = 2 * CoefficientCapacity - 1;

// Multiplies `p1` by `p2`, of the same number n of coefficients each, highest
// power first, into the 2n - 1 coefficients of `product`. Every step forms the
// product of two floats, which double holds exactly, adds it in double to the
// stored coefficient, and rounds the sum to float once, when storing it: the
// same bits on every platform and compiler. A coefficient whose running sum
// overflows float is summed again wholly in double and rounded once, so that
// only a result beyond float is infinite, whatever the order of the factors.
void MultiplyPolynomials(std::span<const float> p1, std::span<const float> p2,
                         std::span<float> product);
