#include "FrameRange.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Diagnostics.h"
#include "ExitStatus.h"

namespace vxcli {

namespace {

bool AllDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// `ss`, `ss.frac` or `.frac`: the seconds field, the only one with a fraction.
std::optional<double> SecondsField(std::string_view s) {
  const size_t dot = s.find('.');
  const std::string_view whole = s.substr(0, dot);
  const std::string_view frac = dot == std::string_view::npos ? "" : s.substr(dot + 1);
  if (dot != std::string_view::npos && !AllDigits(frac)) return std::nullopt;
  if (!whole.empty() && !AllDigits(whole)) return std::nullopt;
  if (whole.empty() && frac.empty()) return std::nullopt;
  return std::strtod(std::string(s).c_str(), nullptr);
}

}  // namespace

std::optional<TimeValue> TimeValue::Parse(std::string_view text) {
  TimeValue v;
  v.text = text;
  if (text.starts_with('-')) {
    v.negative = true;
    text.remove_prefix(1);
  }
  if (text.ends_with('s')) {
    text.remove_suffix(1);
    if (!AllDigits(text)) return std::nullopt;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v.frames);
    if (ec == std::errc::result_out_of_range) v.frames = std::numeric_limits<int64_t>::max();
    v.inFrames = true;
    return v;
  }
  // [[hh:]mm:]ss[.frac]; a field after a colon counts up to 59.
  std::vector<std::string_view> fields;
  for (size_t at; (at = text.find(':')) != std::string_view::npos;) {
    fields.push_back(text.substr(0, at));
    text.remove_prefix(at + 1);
  }
  fields.push_back(text);
  if (fields.size() > 3) return std::nullopt;
  double total = 0.0;
  for (size_t i = 0; i + 1 < fields.size(); ++i) {
    if (!AllDigits(fields[i])) return std::nullopt;
    const double f = std::strtod(std::string(fields[i]).c_str(), nullptr);
    if (i > 0 && f >= 60.0) return std::nullopt;
    total = total * 60.0 + f;
  }
  const std::optional<double> ss = SecondsField(fields.back());
  if (!ss || (fields.size() > 1 && (fields.back().starts_with('.') || *ss >= 60.0)))
    return std::nullopt;
  v.seconds = total * 60.0 + *ss;
  return v;
}

int64_t TimeValue::Frames(int32_t rate) const {
  // Far past any position the engine takes, yet clear of overflow.
  constexpr double kFar = 4.0e18;
  const double magnitude = inFrames ? static_cast<double>(frames) : seconds * rate;
  const int64_t n = magnitude >= kFar   ? static_cast<int64_t>(kFar)
                    : inFrames          ? frames
                                        : std::llround(magnitude);
  return negative ? -n : n;
}

void AddRangeOptions(CLI::App* sub, FrameRange& range, const std::string& endHelp) {
  auto add = [sub](const std::string& name, std::optional<TimeValue>& into,
                   const std::string& help) {
    return sub->add_option_function<std::string>(
        name,
        [name, &into](const std::string& text) {
          into = TimeValue::Parse(text);
          if (!into)
            throw CLI::ValidationError(name, "'" + text + "' is not a time: give seconds (90, "
                                             "1.5, 1:30, 1:02:03.5) or frames (88200s)");
        },
        help);
  };
  add("--start", range.start, "Where to begin: seconds ([[hh:]mm:]ss[.frac]) or frames (123s)")
      ->type_name("TIME");
  CLI::Option* length = add("--length", range.length, "How much: a time as for --start")
                            ->type_name("TIME");
  CLI::Option* end =
      add("--end", range.end,
          endHelp.empty() ? "Where to stop (not included): a time as for --start" : endHelp)
          ->type_name("TIME");
  length->excludes(end);
}

namespace {

// The first negative value, told as a reason, or nothing.
std::optional<std::string> NegativeValue(const FrameRange& range) {
  const std::pair<const char*, const std::optional<TimeValue>*> values[] = {
      {"--start", &range.start}, {"--length", &range.length}, {"--end", &range.end}};
  for (const auto& [name, v] : values)
    if (*v && (*v)->negative && !(*v)->IsZero())
      return std::string(name) + " " + (*v)->text + " is negative";
  return std::nullopt;
}

}  // namespace

int CheckRangeSigns(std::string_view command, const std::string& file, const FrameRange& range) {
  if (auto why = NegativeValue(range)) {
    PrintError(command, file, *why);
    return kExitUsage;
  }
  return kExitOk;
}

ResolvedRange ResolveRange(const FrameRange& range, int64_t frames, int32_t rate) {
  auto refuse = [](int status, std::string why) {
    ResolvedRange r;
    r.status = status;
    r.reason = std::move(why);
    return r;
  };
  if (auto why = NegativeValue(range)) return refuse(kExitUsage, *why);
  const int64_t start = range.start ? range.start->Frames(rate) : 0;
  if (start > kMaxFrame)
    return refuse(kExitUsage, "--start " + range.start->text +
                                  " is beyond the largest frame position " +
                                  std::to_string(kMaxFrame));
  std::optional<int64_t> len;
  if (range.length) {
    len = range.length->Frames(rate);
    if (*len <= 0)
      return refuse(kExitUsage, "--length " + range.length->text + " is less than one frame");
    if (*len > kMaxFrame)
      return refuse(kExitUsage, "--length " + range.length->text +
                                    " is beyond the largest frame count " +
                                    std::to_string(kMaxFrame));
  }
  if (range.end) {
    const int64_t end = range.end->Frames(rate);
    if (end <= start)
      return refuse(kExitUsage, "--end " + range.end->text + " must come after --start " +
                                    (range.start ? range.start->text : std::string("(0)")));
    len = end - start;
  }
  if (frames <= 0) return refuse(kExitFailed, "the file has no frames");
  if (start >= frames)
    return refuse(kExitFailed, "--start " + range.start->text + " is past the end of the file (" +
                                   std::to_string(frames) + " frames, " + Seconds(frames, rate) +
                                   " s)");
  ResolvedRange r;
  r.start = static_cast<int32_t>(start);
  r.len = static_cast<int32_t>(std::min(len.value_or(frames - start), frames - start));
  return r;
}

int CheckRange(std::string_view command, const std::string& file, const FrameRange& range,
               int64_t frames, int32_t rate, int32_t& oStart, int32_t& oLen) {
  const ResolvedRange r = ResolveRange(range, frames, rate);
  if (r.status != kExitOk) {
    PrintError(command, file, r.reason);
    return r.status;
  }
  oStart = r.start;
  oLen = r.len;
  return kExitOk;
}

std::string Seconds(int64_t frame, int32_t rate) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6f", static_cast<double>(frame) / rate);
  return buf;
}

}  // namespace vxcli
