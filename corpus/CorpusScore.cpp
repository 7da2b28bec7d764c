#include "CorpusScore.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>

namespace corpus {
namespace {

double Overlap(const Span& a, const Span& b) {
  return std::max(0.0, std::min(a.end, b.end) - std::max(a.start, b.start));
}

}  // namespace

Score ScoreFile(const std::vector<Span>& truth, const std::vector<Span>& detected) {
  Score s;
  std::vector<bool> used(detected.size(), false);
  std::vector<const Span*> shortPauses;
  for (const Span& t : truth) {
    double len = t.end - t.start;
    if (len < kScoredPause - 1e-9) {
      shortPauses.push_back(&t);
      continue;
    }
    // Among unused detections covering at least half the pause, the one that
    // covers most of it; a detection bridging two pauses serves only one.
    int best = -1;
    double bestOv = 0;
    for (size_t k = 0; k < detected.size(); ++k) {
      if (used[k]) continue;
      double ov = Overlap(t, detected[k]);
      if (ov >= 0.5 * len && ov > bestOv) {
        best = int(k);
        bestOv = ov;
      }
    }
    if (best < 0) {
      ++s.misses;
      continue;
    }
    used[size_t(best)] = true;
    ++s.hits;
    s.edgeErrors.push_back(std::fabs(detected[size_t(best)].start - t.start));
    s.edgeErrors.push_back(std::fabs(detected[size_t(best)].end - t.end));
  }
  for (size_t k = 0; k < detected.size(); ++k) {
    if (used[k]) continue;
    bool excused = false;
    for (const Span* t : shortPauses)
      excused = excused || Overlap(*t, detected[k]) >= 0.5 * (t->end - t->start);
    if (!excused) ++s.falseAlarms;
  }
  return s;
}

double MedianMs(std::vector<double> errors) {
  if (errors.empty()) return NAN;
  size_t mid = errors.size() / 2;
  std::nth_element(errors.begin(), errors.begin() + std::ptrdiff_t(mid), errors.end());
  double m = errors[mid];
  if (errors.size() % 2 == 0)
    m = 0.5 * (m + *std::max_element(errors.begin(), errors.begin() + std::ptrdiff_t(mid)));
  return 1000.0 * m;
}

double Score::MeanEdgeErrMs() const {
  if (edgeErrors.empty()) return NAN;
  double sum = 0;
  for (double e : edgeErrors) sum += e;
  return 1000.0 * sum / double(edgeErrors.size());
}

double Score::MedianEdgeErrMs() const { return MedianMs(edgeErrors); }

double Results::MeanF1() const {
  double s = 0;
  for (const auto& [_, sc] : conditions) s += sc.F1();
  return conditions.empty() ? 0 : s / double(conditions.size());
}

double Results::MinF1() const {
  double m = 1;
  for (const auto& [_, sc] : conditions) m = std::min(m, sc.F1());
  return m;
}

size_t Results::WeakestFile() const {
  size_t w = files.size();
  for (size_t i = 0; i < files.size(); ++i)
    if (w == files.size() || files[i].F1() < files[w].F1()) w = i;
  return w;
}

double Results::MedianEdgeErrMs(const std::string& prefix) const {
  std::vector<double> all;
  for (const auto& [name, sc] : conditions)
    if (name.compare(0, prefix.size(), prefix) == 0)
      all.insert(all.end(), sc.edgeErrors.begin(), sc.edgeErrors.end());
  return MedianMs(std::move(all));
}

Results ScoreCorpus(const std::vector<Entry>& entries,
                    const std::vector<std::vector<Span>>& detections) {
  Results r;
  for (size_t i = 0; i < entries.size() && i < detections.size(); ++i) {
    r.files.push_back(ScoreFile(entries[i].truth, detections[i]));
    r.conditions[entries[i].condition].Add(r.files.back());
  }
  return r;
}

bool LoadCorpus(const std::string& dir, std::vector<Entry>& out, std::string& why) {
  out.clear();
  std::ifstream mf(dir + "/manifest.tsv");
  if (!mf) {
    why = "no manifest.tsv in " + dir;
    return false;
  }
  std::map<std::string, std::vector<Span>> truths;
  std::string line;
  while (std::getline(mf, line)) {
    if (line.empty()) continue;
    std::istringstream ls(line);
    Entry e;
    std::string truth;
    if (!std::getline(ls, e.condition, '\t') || !std::getline(ls, e.name, '\t') ||
        !std::getline(ls, truth, '\t') || !std::getline(ls, e.half) ||
        (e.half != "tune" && e.half != "report")) {
      why = "bad manifest line: " + line;
      return false;
    }
    auto it = truths.find(truth);
    if (it == truths.end()) {
      std::ifstream tf(dir + "/" + truth);
      if (!tf) {
        why = "missing " + truth;
        return false;
      }
      std::vector<Span> spans;
      int64_t a = 0, b = 0;
      while (tf >> a >> b) spans.push_back({a / kCorpusRate, b / kCorpusRate});
      it = truths.emplace(truth, std::move(spans)).first;
    }
    e.wav = dir + "/" + e.name;
    e.truth = it->second;
    out.push_back(std::move(e));
  }
  if (out.empty()) {
    why = "empty corpus in " + dir;
    return false;
  }
  return true;
}

std::vector<Entry> InHalf(const std::vector<Entry>& corpus, const std::string& half) {
  std::vector<Entry> out;
  for (const Entry& e : corpus)
    if (half == "all" || e.half == half) out.push_back(e);
  return out;
}

std::vector<std::string> Conditions(const std::vector<Entry>& corpus) {
  std::vector<std::string> names;
  for (const Entry& e : corpus)
    if (std::find(names.begin(), names.end(), e.condition) == names.end())
      names.push_back(e.condition);
  return names;
}

}  // namespace corpus
