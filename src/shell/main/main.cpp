#include "shell/desktop_app.h"

int main(int argc, char** argv) { return corvane::shell::runDesktop(argc, argv); }
