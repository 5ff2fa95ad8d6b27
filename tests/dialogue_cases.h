// Whole runs of the dialogue: what is typed, and every byte that comes back.
// The texts are UTF-8 here; each test converts them to the charset it expects.
#pragma once

#include <ostream>
#include <string_view>

#define INTRODUCTION "Программа демонстрирует умножение полиномов\n"
#define ORDER_PROMPT "Задайте порядок полиномов: "
#define HINTS \
  "Задайте коэффициенты полиномов через пробел\nот a0 при Xn до aN свободный член\n"
#define RESULT "Значение полинома p3 = [ "
#define PRESS_ANY_KEY "Нажмите любую клавишу"
#define UP_TO_FACTORS INTRODUCTION ORDER_PROMPT HINTS "p1()= p2()= "
#define ERROR_ORDER_NOT_WHOLE "Ошибка: порядок полиномов должен быть целым числом\n"
#define ERROR_ORDER_TOO_LARGE "Ошибка: порядок полиномов не может быть больше 9\n"
#define ERROR_INPUT_ENDED "Ошибка: ввод закончился раньше, чем были заданы все числа\n"
#define ERROR_NOT_A_NUMBER "Ошибка: коэффициент должен быть числом, например 2 или -1.5\n"
#define ERROR_COEFFICIENT_TOO_LARGE \
  "Ошибка: коэффициент слишком велик по модулю (больше 3.4e+38)\n"
#define ERROR_PRODUCT_TOO_LARGE \
  "Ошибка: коэффициенты произведения слишком велики по модулю\n"
#define ERROR_READ_FAILED "Ошибка: не удалось прочитать ввод\n"
#define ERROR_OUTPUT_FAILED "Ошибка: не удалось записать вывод программы\n"

struct DialogueCase {
  const char* name;
  std::string_view input;
  std::string_view out;
  std::string_view err;
  int status;
};

inline void PrintTo(const DialogueCase& run, std::ostream* out) { *out << run.name; }

inline constexpr DialogueCase kDialogueCases[] = {
    {"OrderTwo", "2\n1 2 3\n4 5 6\n",
     UP_TO_FACTORS RESULT "4 13 28 27 18 ]\n" PRESS_ANY_KEY, "", 0},
    {"OrderZero", "0\n3\n5\n", UP_TO_FACTORS RESULT "15 ]\n" PRESS_ANY_KEY, "", 0},
    {"OrderOne", "1 1 2 3 4", UP_TO_FACTORS RESULT "3 10 8 ]\n" PRESS_ANY_KEY, "", 0},
    {"OrderFour", "4\n1 1 1 1 1\n1 1 1 1 1\n",
     UP_TO_FACTORS RESULT "1 2 3 4 5 4 3 2 1 ]\n" PRESS_ANY_KEY, "", 0},
    {"OrderNine", "9\n1 1 1 1 1 1 1 1 1 1\n1 1 1 1 1 1 1 1 1 1\n",
     UP_TO_FACTORS RESULT "1 2 3 4 5 6 7 8 9 10 9 8 7 6 5 4 3 2 1 ]\n" PRESS_ANY_KEY, "",
     0},
    {"NegativeOrderReadsNothing", "-1\n7 7 7\n", UP_TO_FACTORS RESULT "]\n" PRESS_ANY_KEY,
     "", 0},
    {"HugeNegativeOrderReadsNothing", "-99999999999999999999\n",
     UP_TO_FACTORS RESULT "]\n" PRESS_ANY_KEY, "", 0},
    // Any blank of the C locale separates two numbers, vertical tab and form feed too.
    {"NumbersBetweenAnyBlanks", "\n 1\n\n1\t2\v3\r\n4\f5 6 oops\n",
     UP_TO_FACTORS RESULT "3 10 8 ]\n" PRESS_ANY_KEY, "", 0},
    {"SixSignificantDigits", "1 1234567 1e7 1 -0.1",
     UP_TO_FACTORS RESULT "1.23457e+06 9.87654e+06 -1e+06 ]\n" PRESS_ANY_KEY, "", 0},
    // The middle coefficient is 2^-30 + (1 + 2^-12)^2 - (1 + 2^-11), rounded to
    // float after each addition. Its first sum lies just above a rounding tie:
    // the exact product rounded once gives 2^-23, float products lose 2^-30 and
    // give 0.
    {"RoundedOnceFromDouble",
     "2 9.313226e-10 1.000244140625 -1.00048828125 1 1.000244140625 1",
     UP_TO_FACTORS RESULT
     "9.31323e-10 1.00024 1.19209e-07 -0.0004884 -1.00049 ]\n" PRESS_ANY_KEY,
     "", 0},
    // The same with 2^-80, lost in double's 53 bits: the tie rounds to even and
    // the coefficient is 0. A fused float multiply-add would keep 2^-80 and give 2^-23.
    {"NotFusedInFloat", "2 8.271806e-25 1.000244140625 -1.00048828125 1 1.000244140625 1",
     UP_TO_FACTORS RESULT "8.27181e-25 1.00024 0 -0.0004884 -1.00049 ]\n" PRESS_ANY_KEY,
     "", 0},
    {"TinyValues", "0 1e-45 1", UP_TO_FACTORS RESULT "1.4013e-45 ]\n" PRESS_ANY_KEY, "",
     0},
    {"BelowFloatRangeIsZero", "0 1e-50 1", UP_TO_FACTORS RESULT "0 ]\n" PRESS_ANY_KEY, "",
     0},
    {"PointAndExponentForms", "+1 5. .5 1E+1 -2.5e-1",
     UP_TO_FACTORS RESULT "50 3.75 -0.125 ]\n" PRESS_ANY_KEY, "", 0},
    {"ZerosAfterThePoint", "1 0.05 .007 -0.0025e3 1",
     UP_TO_FACTORS RESULT "-0.125 0.0325 0.007 ]\n" PRESS_ANY_KEY, "", 0},
    // The first coefficient lies halfway between 1 and the next float, so it
    // rounds to 1 and p3[1] = 0; a 1 as its 126th character tips it upwards.
    {"MidpointRoundsToEven", "1 1.000000059604644775390625 -1 1 1",
     UP_TO_FACTORS RESULT "1 0 -1 ]\n" PRESS_ANY_KEY, "", 0},
    {"LongNumberRoundsByItsLastDigit",
     "1 1.000000059604644775390625"
     "0000000000000000000000000000000000000000000000000000000000000000000000000000000000"
     "000000000000000001 -1 1 1",
     UP_TO_FACTORS RESULT "1 1.19209e-07 -1 ]\n" PRESS_ANY_KEY, "", 0},

    {"OrderNotANumber", "abc\n", INTRODUCTION ORDER_PROMPT "\n" PRESS_ANY_KEY,
     ERROR_ORDER_NOT_WHOLE, 1},
    {"OrderNotWhole", "2.5\n1 2 3\n4 5 6\n", INTRODUCTION ORDER_PROMPT "\n" PRESS_ANY_KEY,
     ERROR_ORDER_NOT_WHOLE, 1},
    {"OrderNotStandingAlone", "-2147483649.5\n",
     INTRODUCTION ORDER_PROMPT "\n" PRESS_ANY_KEY, ERROR_ORDER_NOT_WHOLE, 1},
    {"HugeOrderNotStandingAlone", "99999999999x\n",
     INTRODUCTION ORDER_PROMPT "\n" PRESS_ANY_KEY, ERROR_ORDER_NOT_WHOLE, 1},
    // A sign is no number, nor order 0.
    {"OrderSignAlone", "-\n0\n", INTRODUCTION ORDER_PROMPT "\n" PRESS_ANY_KEY,
     ERROR_ORDER_NOT_WHOLE, 1},
    {"OrderTen", "10\n", INTRODUCTION ORDER_PROMPT "\n" PRESS_ANY_KEY,
     ERROR_ORDER_TOO_LARGE, 1},
    // 2^64 + 5: digits that a 64-bit magnitude would wrap to 5.
    {"OrderWrappingA64BitInteger", "18446744073709551621\n",
     INTRODUCTION ORDER_PROMPT "\n" PRESS_ANY_KEY, ERROR_ORDER_TOO_LARGE, 1},
    {"OrderBeyondInt", "99999999999999999999\n",
     INTRODUCTION ORDER_PROMPT "\n" PRESS_ANY_KEY, ERROR_ORDER_TOO_LARGE, 1},
    {"NoInputAtAll", "", INTRODUCTION ORDER_PROMPT "\n" PRESS_ANY_KEY, ERROR_INPUT_ENDED,
     1},
    {"InputEndsInFirstFactor", "2\n1 2",
     INTRODUCTION ORDER_PROMPT HINTS "p1()= \n" PRESS_ANY_KEY, ERROR_INPUT_ENDED, 1},
    {"DecimalComma", "1\n1,5 2\n",
     INTRODUCTION ORDER_PROMPT HINTS "p1()= \n" PRESS_ANY_KEY, ERROR_NOT_A_NUMBER, 1},
    {"WordInSecondFactor", "1 1 2 3 x", UP_TO_FACTORS "\n" PRESS_ANY_KEY,
     ERROR_NOT_A_NUMBER, 1},
    {"InfinityIsNoNumber", "0 inf 1",
     INTRODUCTION ORDER_PROMPT HINTS "p1()= \n" PRESS_ANY_KEY, ERROR_NOT_A_NUMBER, 1},
    {"HexIsNoNumber", "0 0x10 1",
     INTRODUCTION ORDER_PROMPT HINTS "p1()= \n" PRESS_ANY_KEY, ERROR_NOT_A_NUMBER, 1},
    {"NanIsNoNumber", "0 1 nan", UP_TO_FACTORS "\n" PRESS_ANY_KEY, ERROR_NOT_A_NUMBER, 1},
    {"ExponentWithoutDigits", "0 1e+ 1",
     INTRODUCTION ORDER_PROMPT HINTS "p1()= \n" PRESS_ANY_KEY, ERROR_NOT_A_NUMBER, 1},
    {"PointAlone", "0 . 1", INTRODUCTION ORDER_PROMPT HINTS "p1()= \n" PRESS_ANY_KEY,
     ERROR_NOT_A_NUMBER, 1},
    {"HugeNumberNotStandingAlone", "0 1e39x 1",
     INTRODUCTION ORDER_PROMPT HINTS "p1()= \n" PRESS_ANY_KEY, ERROR_NOT_A_NUMBER, 1},
    {"CoefficientBeyondFloat", "0 1 -1e39", UP_TO_FACTORS "\n" PRESS_ANY_KEY,
     ERROR_COEFFICIENT_TOO_LARGE, 1},
    {"ExponentFarBeyondFloat", "0 1e400 1",
     INTRODUCTION ORDER_PROMPT HINTS "p1()= \n" PRESS_ANY_KEY,
     ERROR_COEFFICIENT_TOO_LARGE, 1},
    {"ProductBackInFloatRange", "1\n3e38 -2e38\n1 1.5",
     UP_TO_FACTORS RESULT "3e+38 2.5e+38 -3e+38 ]\n" PRESS_ANY_KEY, "", 0},
    {"ProductBeyondFloat", "0 3e38 2", UP_TO_FACTORS "\n" PRESS_ANY_KEY,
     ERROR_PRODUCT_TOO_LARGE, 1},
    // The middle coefficient's running sum reaches the midpoint 2^128 - 2^103
    // between the largest float and infinity, and so does its sum in double; its
    // exact value, 1 less, rounds to the largest float. 1 more rounds beyond.
    {"ProductJustBelowTheMidpointToInfinity",
     "2 1 5.9604644775390625e-08 -1 1 1.7014118346046923e+38 3.4028234663852886e+38",
     UP_TO_FACTORS RESULT
     "1 1.70141e+38 3.40282e+38 -1.70141e+38 -3.40282e+38 ]\n" PRESS_ANY_KEY,
     "", 0},
    {"ProductJustPastTheMidpointToInfinity",
     "2 1 5.9604644775390625e-08 1 1 1.7014118346046923e+38 3.4028234663852886e+38",
     UP_TO_FACTORS "\n" PRESS_ANY_KEY, ERROR_PRODUCT_TOO_LARGE, 1},
};
