// The number reader on the hard cases of decimal to float, with the runtime
// that each build ships.
#include "dialogue/number_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <sstream>
#include <string>

#include "tests/number_reader_cases.h"

namespace {

TEST(NumberReader, HardNumbersGiveTheNearestFloat) {
  for (const HardNumber& number : kHardNumbers) {
    std::istringstream in{std::string(number.text)};
    float value = 0;
    const bool beyond_range = (number.bits & 0x7fffffffu) == 0x7f800000u;
    const Read read = ReadReal(in, value);
    EXPECT_EQ(read, beyond_range ? Read::kOutOfRange : Read::kOk) << number.text;
    if (!beyond_range) {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(value), number.bits)
          << number.text << " gave " << value;
    }
  }
}

}  // namespace
