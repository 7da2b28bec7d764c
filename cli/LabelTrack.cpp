#include "LabelTrack.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "Diagnostics.h"
#include "ExitStatus.h"
#include "FrameRange.h"

namespace vxcli {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The next run of non-blank characters of `rest`, which loses it and the
// blanks before it.
std::string_view NextField(std::string_view& rest) {
  while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
  size_t n = 0;
  while (n < rest.size() && !IsBlank(rest[n])) ++n;
  const std::string_view field = rest.substr(0, n);
  rest.remove_prefix(n);
  return field;
}

// Seconds as a decimal number, whatever the locale; nothing for anything
// else, infinities and NaN included.
std::optional<double> Time(std::string_view field) {
  double v = 0.0;
  const char* end = field.data() + field.size();
  auto [at, ec] = std::from_chars(field.data(), end, v);
  if (ec != std::errc() || at != end || !std::isfinite(v)) return std::nullopt;
  return v;
}

// A field quoted in a message when it is short, readable text (not the bytes
// of a sound file named by mistake).
std::string NotATime(std::string_view field) {
  const bool readable =
      field.size() <= 32 && std::all_of(field.begin(), field.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7f;
      });
  return readable ? "not a label line: \"" + std::string(field) + "\" is not a time in seconds"
                  : "not a label line (START END TEXT, times in seconds)";
}

std::string Number(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

std::optional<std::string> ParseLine(std::string_view line, Label& out) {
  std::string_view rest = line;
  const std::string_view first = NextField(rest);
  const std::string_view second = NextField(rest);
  const std::optional<double> start = Time(first);
  if (!start) return NotATime(first);
  if (second.empty()) return "not a label line: no end time after " + std::string(first);
  const std::optional<double> end = Time(second);
  if (!end) return NotATime(second);
  if (*start < 0.0 || *end < 0.0)
    return "negative time " + std::string(*start < 0.0 ? first : second);
  if (*end < *start)
    return "the label ends (" + Number(*end) + " s) before it starts (" + Number(*start) + " s)";
  out = {*start, *end, std::string(Trim(rest))};
  return std::nullopt;
}

bool IsSilenceText(std::string_view text) {
  constexpr std::string_view kSilence = "silence";
  return text.size() == kSilence.size() &&
         std::equal(text.begin(), text.end(), kSilence.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == b;
         });
}

}  // namespace

std::optional<LabelError> ParseLabels(std::istream& in, std::vector<Label>& out) {
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    std::string_view s = line;
    // A byte-order mark, as some editors write one before the first line.
    if (++number == 1 && s.starts_with("\xEF\xBB\xBF")) s.remove_prefix(3);
    // A spectral label's frequency line ("\<tab>low<tab>high").
    if (s.starts_with('\\') || Trim(s).empty()) continue;
    Label label;
    if (auto why = ParseLine(s, label)) return LabelError{number, *why};
    out.push_back(std::move(label));
  }
  return std::nullopt;
}

int ReadLabelTrack(std::string_view command, const std::string& named, std::vector<Label>& out) {
  auto fail = [&](const std::string& where, const std::string& why) {
    PrintError(command, where, why);
    return kExitFailed;
  };
  std::optional<LabelError> bad;
  if (named == "-") {
    bad = ParseLabels(std::cin, out);
    if (!bad && std::cin.bad()) return fail(named, "reading standard input failed");
  } else {
    struct stat st {};
    if (named.empty()) return fail("", "--labels needs the path of a label track");
    if (stat(named.c_str(), &st) != 0)
      return fail(named, errno == ENOENT ? "no such file" : std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return fail(named, "is a directory, not a label track");
    std::ifstream f(named, std::ios::binary);
    if (!f) return fail(named, std::string("cannot read: ") + std::strerror(errno));
    bad = ParseLabels(f, out);
    if (!bad && f.bad()) return fail(named, std::string("reading failed: ") + std::strerror(errno));
  }
  if (bad) return fail(named + ":" + std::to_string(bad->line), bad->reason);
  return kExitOk;
}

std::vector<Label> SilenceLabels(const std::vector<Label>& labels) {
  std::vector<Label> regions;
  for (const Label& l : labels)
    if (l.end > l.start) regions.push_back(l);
  if (std::any_of(regions.begin(), regions.end(),
                  [](const Label& l) { return IsSilenceText(l.text); }))
    std::erase_if(regions, [](const Label& l) { return !IsSilenceText(l.text); });
  return regions;
}

std::vector<MarkData> LabelFrames(const std::vector<Label>& silences, int32_t rate, int32_t from,
                                  int32_t to) {
  auto frame = [&](double seconds) {
    const double f = seconds * rate;
    const int64_t at = f >= double(kMaxFrame) ? kMaxFrame : std::llround(f);
    return static_cast<int32_t>(std::clamp<int64_t>(at, from, to));
  };
  std::vector<MarkData> spans;
  for (const Label& l : silences) {
    MarkData m;
    m.area = {frame(l.start), frame(l.end)};
    if (m.area.end > m.area.start) spans.push_back(m);
  }
  std::sort(spans.begin(), spans.end(),
            [](const MarkData& a, const MarkData& b) { return a.area.start < b.area.start; });
  std::vector<MarkData> merged;
  for (const MarkData& m : spans) {
    if (!merged.empty() && m.area.start <= merged.back().area.end)
      merged.back().area.end = std::max(merged.back().area.end, m.area.end);
    else
      merged.push_back(m);
  }
  return merged;
}

}  // namespace vxcli
