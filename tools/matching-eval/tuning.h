// The matcher's constants by name, for the evaluation tools' --tune NAME=VALUE
// (trying variants without rebuilding).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "matching/Matcher.h"

namespace tuning {

inline std::vector<std::pair<std::string, int*>> Fields() {
  auto& t = matching::Tuning();
  return {{"neighbours", &t.Neighbours}, {"anchors", &t.Anchors},         {"alpha-tol", &t.AlphaTol},
          {"beta-tol", &t.BetaTol},      {"pair-angle-tol", &t.PairAngleTol}, {"pos-tol", &t.PosTol},
          {"pos-tol-max", &t.PosTolMax}, {"growth-den", &t.GrowthDen},     {"chance-floor", &t.ChanceFloor}, {"score", &t.ScoreMode}, {"support-scale", &t.SupportScale},
          {"support-floor", &t.SupportFloor}, {"type-penalty", &t.TypePenalty}, {"period-penalty", &t.PeriodPenalty},
           {"min-edge", &t.MinEdge},  {"clusters", &t.Clusters}, {"slots", &t.Slots}};
}
inline bool Set(const std::string& name, int value) {
  for (auto& [n, p] : Fields())
    if (n == name) {
      *p = value;
      return true;
    }
  return false;
}
inline std::string Names() {
  std::string s;
  for (auto& f : Fields()) s += " " + f.first;
  return s;
}


// Takes the --tune NAME=VALUE arguments out of argv (for programs whose other
// arguments another parser reads); false, with a message, for a wrong one.
inline bool Take(int& argc, char** argv) {
  int out = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--tune" && i + 1 < argc) {
      const std::string v = argv[++i];
      const auto eq = v.find('=');
      if (eq == std::string::npos || !Set(v.substr(0, eq), std::atoi(v.c_str() + eq + 1))) {
        std::fprintf(stderr, "--tune NAME=VALUE, NAME one of%s\n", Names().c_str());
        return false;
      }
    } else {
      argv[out++] = argv[i];
    }
  }
  argc = out;
  return true;
}

}  // namespace tuning
