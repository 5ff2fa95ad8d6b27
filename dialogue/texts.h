// Everything the dialogue says. The Russian texts pass through the terminal's
// conversion; the plain ASCII ones are written as they stand.
#pragma once

#include <string_view>

#include "console/message_text.h"

inline constexpr MessageText kIntroduction =
    Cp1251Text(u8"Программа демонстрирует умножение полиномов");
inline constexpr MessageText kOrderPrompt = Cp1251Text(u8"Задайте порядок полиномов: ");
inline constexpr MessageText kCoefficientsHint =
    Cp1251Text(u8"Задайте коэффициенты полиномов через пробел");
inline constexpr MessageText kCoefficientsOrder =
    Cp1251Text(u8"от a0 при Xn до aN свободный член");
inline constexpr std::string_view kFirstFactorPrompt = "p1()= ";
inline constexpr std::string_view kSecondFactorPrompt = "p2()= ";
inline constexpr MessageText kResultPrefix = Cp1251Text(u8"Значение полинома p3 = [ ");
inline constexpr std::string_view kResultSeparator = " ";
inline constexpr std::string_view kResultSuffix = "]";
inline constexpr MessageText kPressAnyKey = Cp1251Text(u8"Нажмите любую клавишу");

// What went wrong, on standard error.
inline constexpr MessageText kOrderTooLarge =
    Cp1251Text(u8"Ошибка: порядок полиномов не может быть больше 9");
inline constexpr MessageText kOrderNotWhole =
    Cp1251Text(u8"Ошибка: порядок полиномов должен быть целым числом");
inline constexpr MessageText kCoefficientNotANumber =
    Cp1251Text(u8"Ошибка: коэффициент должен быть числом, например 2 или -1.5");
inline constexpr MessageText kCoefficientTooLarge =
    Cp1251Text(u8"Ошибка: коэффициент слишком велик по модулю (больше 3.4e+38)");
inline constexpr MessageText kProductTooLarge =
    Cp1251Text(u8"Ошибка: коэффициенты произведения слишком велики по модулю");
inline constexpr MessageText kInputEnded =
    Cp1251Text(u8"Ошибка: ввод закончился раньше, чем были заданы все числа");
inline constexpr MessageText kInputFailed =
    Cp1251Text(u8"Ошибка: не удалось прочитать ввод");
inline constexpr MessageText kOutputFailed =
    Cp1251Text(u8"Ошибка: не удалось записать вывод программы");
