#include "export_fixtures.h"

#include <cairo.h>
#include <sys/wait.h>

#include <cstdio>

namespace corvane::exports::testing {

bool haveTool(const std::string& tool) { return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0; }

std::string run(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  int rc = ::pclose(pipe);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

std::string quote(const std::filesystem::path& p) {
  std::string out = "'";
  for (char c : p.string()) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

std::string smallPng() {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 40, 30);
  cairo_t* cr = cairo_create(s);
  cairo_set_source_rgb(cr, 0.1, 0.2, 0.6);
  cairo_paint(cr);
  cairo_destroy(cr);
  std::string out;
  cairo_surface_write_to_png_stream(
      s,
      [](void* closure, const unsigned char* data, unsigned int length) {
        static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
        return CAIRO_STATUS_SUCCESS;
      },
      &out);
  cairo_surface_destroy(s);
  return out;
}

}  // namespace corvane::exports::testing
