// The product's coefficients, down to the last bit of each float.
#include "dialogue/product.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "dialogue/dialogue.h"

namespace {

std::vector<float> Multiply(const std::vector<float>& p1, const std::vector<float>& p2) {
  std::vector<float> product(2 * p1.size() - 1, -1.0f);
  MultiplyPolynomials(p1, p2, product);
  return product;
}

TEST(Product, SmallOrdersGiveTheTextbookCoefficients) {
  EXPECT_EQ(Multiply({3}, {5}), (std::vector<float>{15}));
  // The last place is reached by the accumulation alone, so it must start at zero.
  EXPECT_EQ(Multiply({1, 2}, {3, 4}), (std::vector<float>{3, 10, 8}));
  EXPECT_EQ(Multiply({1, 2, 3}, {4, 5, 6}), (std::vector<float>{4, 13, 28, 27, 18}));
  EXPECT_EQ(Multiply({1, 1, 1, 1, 1}, {1, 1, 1, 1, 1}),
            (std::vector<float>{1, 2, 3, 4, 5, 4, 3, 2, 1}));
  EXPECT_EQ(Multiply({-1, 0.5f}, {2, -0.25f}), (std::vector<float>{-2, 1.25f, -0.125f}));
}

TEST(Product, LargestOrderFillsEveryPlace) {
  std::vector<float> p1;
  std::vector<float> p2;
  for (int i = 0; i < CoefficientCapacity; ++i) {
    p1.push_back(static_cast<float>(i + 1));
    p2.push_back(static_cast<float>(2 * i - 7));
  }
  std::array<float, ProductCapacity> product{};
  MultiplyPolynomials(p1, p2, product);
  for (int k = 0; k < ProductCapacity; ++k) {
    long long expected = 0;  // small integers: exact in every type
    for (int i = 0; i < CoefficientCapacity; ++i) {
      const int j = k - i;
      if (j >= 0 && j < CoefficientCapacity) expected += (i + 1) * (2 * j - 7);
    }
    EXPECT_EQ(product[static_cast<std::size_t>(k)], static_cast<float>(expected))
        << "coefficient " << k;
  }
}

TEST(Product, EmptyFactorsWriteNothing) {
  std::array<float, 1> untouched{42.0f};
  MultiplyPolynomials({}, {}, std::span<float>(untouched).first(0));
  EXPECT_EQ(untouched[0], 42.0f);
}

// a * a = 1 + 2^-11 + 2^-24 exactly: half a float step above 1 + 2^-11, which is
// even, so alone it rounds down.
constexpr float a = 1.0f + 0x1p-12f;

TEST(Product, EachSumIsRoundedOnceFromTheExactProduct) {
  // p3[1] = fl(fl(s * 1) + a * a): with s = 2^-30 the exact sum lies above the
  // tie and rounds up. Rounding a * a to float before adding loses s.
  EXPECT_EQ(Multiply({0x1p-30f, a}, {a, 1.0f})[1], 1.0f + 0x1p-11f + 0x1p-23f);
  // The first row is rounded too: a * a alone rounds to even.
  EXPECT_EQ(Multiply({a}, {a})[0], 1.0f + 0x1p-11f);
}

TEST(Product, SumIsTakenInDoubleNotFused) {
  // With s = 2^-80 the sum a * a + s needs more than double's 53 bits, so
  // double keeps exactly the tie and the float store rounds it to even. A fused
  // float multiply-add would see s and round up.
  EXPECT_EQ(Multiply({0x1p-80f, a}, {a, 1.0f})[1], 1.0f + 0x1p-11f);
}

TEST(Product, TermsAreAddedInTheOrderOfTheFirstFactor) {
  // p3[2] = 1*1, then + 2^-12 * 2^-12, then + 2^-24 * 1, rounding after each
  // addition: both small terms fall on the tie and vanish. Adding them together
  // first would give 1 + 2^-23.
  EXPECT_EQ(Multiply({1.0f, 0x1p-12f, 0x1p-24f}, {1.0f, 0x1p-12f, 1.0f})[2], 1.0f);
}

TEST(Product, OnlyASumBeyondFloatIsInfinite) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  // The middle coefficient's first term alone is beyond float, but the sum of
  // its terms, taken in double, is 0, or fits float, in either order.
  EXPECT_EQ(Multiply({1e30f, 1e30f}, {1e30f, -1e30f}),
            (std::vector<float>{inf, 0, -inf}));
  EXPECT_FALSE(std::signbit(Multiply({1e30f, 1e30f}, {1e30f, -1e30f})[1]))
      << "an exact 0 is +0, as IEEE's sum of opposites";
  EXPECT_EQ(Multiply({3e38f, -2e38f}, {1, 1.5f}),
            (std::vector<float>{3e38f, 2.5e38f, -3e38f}));
  EXPECT_EQ(Multiply({1, 1.5f}, {3e38f, -2e38f}),
            (std::vector<float>{3e38f, 2.5e38f, -3e38f}));
  EXPECT_EQ(Multiply({0x1p100f, 0x1p100f}, {0x1p100f, 0x1p-100f}),
            (std::vector<float>{inf, inf, 1.0f}));
  // A low coefficient summed again takes the factors' own terms alone, not
  // what lies beyond them in the storage: p3[3] = 2.5 * 2^127 - 2^127.
  const std::array<float, 4> p1{1, 0x1p127f, -0x1p127f, 0x1p127f};
  const std::array<float, 4> p2{1, 1, 2.5f, 0x1p127f};
  std::array<float, 5> product{};
  MultiplyPolynomials(std::span(p1).first(3), std::span(p2).first(3), product);
  EXPECT_EQ(product, (std::array<float, 5>{1, 0x1p127f, 0, 0x1.8p127f, -inf}));
}

TEST(Product, ASumBeyondFloatOnTheWayIsSummedExactly) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  constexpr float largest = std::numeric_limits<float>::max();  // 2^128 - 2^104
  // p3[2] = largest + 2^103 + c: the running sum reaches the midpoint 2^128 -
  // 2^103 between the largest float and infinity, which rounds to even: to
  // infinity. Just below it the exact sum is the largest float; at it and
  // just above, infinity.
  const auto middle = [](float sign, float c) {
    return Multiply({sign, sign * 0x1p-24f, sign * c}, {1, 0x1p127f, largest})[2];
  };
  EXPECT_EQ(middle(1, -1), largest);
  EXPECT_EQ(middle(-1, -1), -largest);
  EXPECT_EQ(middle(1, -0x1p-149f), largest);  // far below double's last place
  EXPECT_EQ(middle(1, 0), inf);
  EXPECT_EQ(middle(1, 0x1p-149f), inf);
  EXPECT_EQ(middle(-1, 0x1p-149f), -inf);
  // Away from the limit: 2^128 - 2^128 + 1 + 2^-24 + 2^-100. In double the last
  // term is lost and 1 + 2^-24, a tie, rounds to 1; exactly, it is above the tie.
  EXPECT_EQ(Multiply({0x1p127f, -0x1p127f, 1, 0x1p-24f, 0x1p-100f}, {1, 1, 1, 2, 2})[4],
            1.0f + 0x1p-23f);
  // A sum too small for a float keeps its sign.
  const auto tiny = Multiply({0x1p127f, -0x1p127f, -0x1p-149f}, {0x1p-149f, 2, 2})[2];
  EXPECT_EQ(tiny, 0.0f);
  EXPECT_TRUE(std::signbit(tiny));
}

}  // namespace
