// The dialogue run in-process on string streams, in a UTF-8 locale.
#include "dialogue/dialogue.h"

#include <gtest/gtest.h>

#include <sstream>
#include <streambuf>
#include <string>

#include "tests/dialogue_cases.h"

namespace {

// The dialogue and the request for a key, as the program shows them.
int RunWithKeyRequest(std::istream& in, std::ostream& out, std::ostream& err) {
  const int status = RunDialogue(in, out, err);
  return ShowKeyRequest(out) ? status : ReportOutputFailed(err);
}

class Dialogue : public testing::TestWithParam<DialogueCase> {};

TEST_P(Dialogue, WritesExactlyTheExpectedBytes) {
  const DialogueCase& run = GetParam();
  std::istringstream in{std::string(run.input)};
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(RunWithKeyRequest(in, out, err), run.status);
  EXPECT_EQ(out.str(), run.out);
  EXPECT_EQ(err.str(), run.err);
}

INSTANTIATE_TEST_SUITE_P(Cases, Dialogue, testing::ValuesIn(kDialogueCases),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(DialogueInput, ValuesAfterTheSecondFactorAreLeftUnread) {
  std::istringstream in{"1 1 2 3 4 5 six"};
  std::ostringstream out;
  std::ostringstream err;
  ASSERT_EQ(RunDialogue(in, out, err), kExitSuccess);
  std::string rest;
  std::getline(in, rest);
  EXPECT_EQ(rest, " 5 six");
}

TEST(DialogueInput, NegativeOrderLeavesTheCoefficientsUnread) {
  std::istringstream in{"-3\n1 2 3\n"};
  std::ostringstream out;
  std::ostringstream err;
  ASSERT_EQ(RunDialogue(in, out, err), kExitSuccess);
  std::string rest;
  std::getline(in >> std::ws, rest);
  EXPECT_EQ(rest, "1 2 3");
}

// Takes nothing, like a full disk.
class FullStreamBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type) override { return traits_type::eof(); }
};

TEST(DialogueOutput, FailedWriteIsNotSuccess) {
  std::istringstream in{"0 3 5"};
  FullStreamBuffer full;
  std::ostream out(&full);
  std::ostringstream err;
  EXPECT_EQ(RunWithKeyRequest(in, out, err), kExitOutputFailed);
  EXPECT_EQ(err.str(), ERROR_OUTPUT_FAILED);

  std::istringstream bad_input{"x"};
  std::ostream also_full(&full);
  err.str("");
  EXPECT_EQ(RunWithKeyRequest(bad_input, also_full, err), kExitOutputFailed);
  EXPECT_EQ(err.str(), ERROR_ORDER_NOT_WHOLE ERROR_OUTPUT_FAILED);
}

}  // namespace
