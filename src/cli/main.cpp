#include <cstdio>

#include "app/command_router.h"

int main() {
  (void)corvane::app::commandRouter();
  std::puts("corvane-cli");
  return 0;
}
