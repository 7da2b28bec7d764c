// Runs build/vxaudio as a subprocess for the command tests: exit status,
// standard output and standard error, each captured whole; and the check
// every refusal must pass.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace vxtest {

struct VxOutcome {
  int status = -1;
  std::string out, err;
};

inline std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

// Runs the shell line `cmd` from directory `dir`, which also holds the two
// capture files; "VX " stands for the program. Test paths hold no quotes or
// blanks. `stdoutTo` sends standard output elsewhere (then `out` is empty).
inline VxOutcome RunVx(std::string cmd, const std::string& dir, const std::string& stdoutTo = "") {
  const std::string program = std::string(VX_BUILD_DIR) + "/vxaudio";
  for (size_t at = 0; (at = cmd.find("VX ", at)) != std::string::npos; at += program.size())
    cmd.replace(at, 2, program);
  const std::string out = dir + "/.stdout", err = dir + "/.stderr";
  const int raw = std::system(("cd " + dir + " && " + cmd + " >" +
                               (stdoutTo.empty() ? out : stdoutTo) + " 2>" + err).c_str());
  VxOutcome r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = stdoutTo.empty() ? Slurp(out) : "";
  r.err = Slurp(err);
  std::remove(out.c_str());
  std::remove(err.c_str());
  return r;
}

// A failure says exactly one thing: one line on standard error starting with
// `prefix` (the command, usually the file) and holding `needle`, nothing on
// standard output.
inline void ExpectOneError(const VxOutcome& r, int status, const std::string& prefix,
                           const std::string& needle = "") {
  EXPECT_EQ(r.status, status) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
  EXPECT_EQ(r.err.rfind(prefix, 0), 0u) << r.err;
  EXPECT_NE(r.err.find(needle), std::string::npos) << r.err;
}

}  // namespace vxtest
