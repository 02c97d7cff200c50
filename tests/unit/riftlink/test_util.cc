#include "test_util.h"

#include <errno.h>
#include <string.h>

std::string prog() { return program_invocation_short_name; }

std::string errtext(int e) { return strerror(e); }

std::string err_line(const std::string& msg, int e) {
  return prog() + ": " + msg + ": " + errtext(e) + "\n";
}

std::string errx_line(const std::string& msg) {
  return prog() + ": " + msg + "\n";
}

std::string field(const std::string& s, size_t width) {
  std::string f = s;
  f.resize(width, '\0');
  return f;
}
