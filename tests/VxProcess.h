// Runs build/vxaudio as a subprocess for the command tests: exit status,
// standard output and standard error, each captured whole.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace vxtest {

struct VxOutcome {
  int status = -1;
  std::string out, err;
};

inline std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// `args` goes through the shell as it is; test paths hold no quotes or blanks.
// `scratch` is a directory for the two capture files.
inline VxOutcome RunVx(const std::string& args, const std::string& scratch) {
  const std::string out = scratch + "/.stdout", err = scratch + "/.stderr";
  const std::string cmd =
      std::string(VX_BUILD_DIR) + "/vxaudio " + args + " >" + out + " 2>" + err;
  const int raw = std::system(cmd.c_str());
  VxOutcome r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = Slurp(out);
  r.err = Slurp(err);
  std::remove(out.c_str());
  std::remove(err.c_str());
  return r;
}

}  // namespace vxtest
