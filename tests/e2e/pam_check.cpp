// The lock's password check run under libpam_wrapper, which dlopens libpam in
// a way the address sanitizer refuses; so this tool is built without it.
// Reads one password per line and prints "open" or "locked" for each;
// "unavailable: <reason>" when no method can run.
#include <iostream>
#include <string>

#include "platform/linux/pam/pam_authenticator.h"

int main() {
  auto auth = corvane::platform::makePamAuthenticator();
  if (auto ok = auth->available(); !ok) {
    std::cout << "unavailable: " << ok.error() << "\n";
    return 0;
  }
  std::string line;
  while (std::getline(std::cin, line)) std::cout << (auth->verify(line) ? "open" : "locked") << std::endl;
  return 0;
}
