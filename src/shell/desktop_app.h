#pragma once
// The desktop program: `corvane [--toggle | --new-note | --settings | corvane://…]`.
namespace corvane::shell {
int runDesktop(int argc, char** argv);
}  // namespace corvane::shell
