// The floor a run is measured against: the same formatted reading and writing
// with std::cin and std::cout, and nothing else.
#include <iostream>

int main() {
  int order = 0;
  std::cin >> order;
  float coefficients[20];
  const int count = 2 * (order + 1);
  for (int i = 0; i < count && i < 20; ++i) std::cin >> coefficients[i];
  for (int i = 0; i < count - 1 && i < 19; ++i) std::cout << coefficients[i] << ' ';
  std::cout << '\n';
}
