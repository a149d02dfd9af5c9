// Reading and writing numbers: the same text on every build, whatever the
// C runtime's printf and locale do.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "expr/Evaluator.h"

using vx::NumberToStr;
using vx::StrToNumber;

TEST(NumberRead, AcceptsOnlyCompleteDecimalNumbers) {
  EXPECT_EQ(StrToNumber("12"), 12);
  EXPECT_EQ(StrToNumber("-3.25"), -3.25);
  EXPECT_EQ(StrToNumber("+5"), 5);
  EXPECT_EQ(StrToNumber("   7"), 7);  // leading blanks
  EXPECT_EQ(StrToNumber(".5"), 0.5);
  EXPECT_EQ(StrToNumber("5."), 5);
  EXPECT_EQ(StrToNumber("1e3"), 1000);
  EXPECT_EQ(StrToNumber("2.5E-1"), 0.25);
  EXPECT_EQ(StrToNumber("1E+2"), 100);

  // Anything that does not parse completely reads as 0.
  for (const char* s : {"", " ", "abc", "5 ", "1,5", "1.5.1", "1e", "1e+", "-", ".", "+.", "0x10", "inf",
                        "-INF", "nan", "1_000", "\t5", "5abc", "--5"})
    EXPECT_EQ(StrToNumber(s), 0) << '"' << s << '"';
}

TEST(NumberRead, OutOfRangeMagnitudes) {
  EXPECT_TRUE(std::isinf(StrToNumber("1e999")));
  EXPECT_LT(StrToNumber("-1e999"), 0);
  EXPECT_EQ(StrToNumber("1e-999"), 0);
  EXPECT_EQ(StrToNumber("0.000e999"), 0);
  EXPECT_EQ(StrToNumber("1e99999999999999999999"), std::numeric_limits<double>::infinity());
}

TEST(NumberWrite, GeneralFormatWithFifteenDigits) {
  EXPECT_EQ(NumberToStr(7), "7");
  EXPECT_EQ(NumberToStr(3.5), "3.5");
  EXPECT_EQ(NumberToStr(-2), "-2");
  EXPECT_EQ(NumberToStr(-0.0), "0");
  EXPECT_EQ(NumberToStr(1.0 / 3), "0.333333333333333");
  EXPECT_EQ(NumberToStr(2.0 / 3), "0.666666666666667");
  EXPECT_EQ(NumberToStr(0.1 + 0.2), "0.3");
  EXPECT_EQ(NumberToStr(100), "100");
  EXPECT_EQ(NumberToStr(123456789012345.0), "123456789012345");
  EXPECT_EQ(NumberToStr(999999999999999.0), "999999999999999");
}

TEST(NumberWrite, ExponentFormOutsideTheFixedRange) {
  EXPECT_EQ(NumberToStr(1e15), "1E15");
  EXPECT_EQ(NumberToStr(1234567890123456.0), "1.23456789012346E15");
  EXPECT_EQ(NumberToStr(9999999999999999.0), "1E16");  // rounds up past 15 digits
  EXPECT_EQ(NumberToStr(1e20), "1E20");
  EXPECT_EQ(NumberToStr(-2.5e100), "-2.5E100");
  EXPECT_EQ(NumberToStr(0.0001), "0.0001");
  EXPECT_EQ(NumberToStr(0.00012345), "0.00012345");
  EXPECT_EQ(NumberToStr(0.00001), "1E-5");
  EXPECT_EQ(NumberToStr(-1.5e-7), "-1.5E-7");
  EXPECT_EQ(NumberToStr(5e-324), "4.94065645841247E-324");
}

TEST(NumberWrite, RoundTripsThroughReading) {
  for (double v : {0.5, -17.25, 1e-10, 123456.789, 3e200})
    EXPECT_DOUBLE_EQ(StrToNumber(NumberToStr(v)), v) << NumberToStr(v);
}
