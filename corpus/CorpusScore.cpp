#include "CorpusScore.h"

#include <algorithm>
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
    s.boundaryErrSum += 0.5 * (std::fabs(detected[size_t(best)].start - t.start) +
                               std::fabs(detected[size_t(best)].end - t.end));
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
    std::string wav, truth;
    if (!std::getline(ls, e.condition, '\t') || !std::getline(ls, wav, '\t') ||
        !std::getline(ls, truth)) {
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
    e.wav = dir + "/" + wav;
    e.truth = it->second;
    out.push_back(std::move(e));
  }
  if (out.empty()) {
    why = "empty corpus in " + dir;
    return false;
  }
  return true;
}

std::vector<std::string> Conditions(const std::vector<Entry>& corpus) {
  std::vector<std::string> names;
  for (const Entry& e : corpus)
    if (std::find(names.begin(), names.end(), e.condition) == names.end())
      names.push_back(e.condition);
  return names;
}

}  // namespace corpus
