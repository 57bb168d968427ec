// Matching 200,000 log file names against a search pattern: the search's own pattern
// (ECMAScript front end and PCRE2, plain-text fast path) against std::regex, for a literal name, an expression, and a
// pathological expression (std::regex is left out of that one: it would not finish).

#include <benchmark/benchmark.h>

#include <regex>
#include <string>
#include <vector>

#include "logbackup/DataWriterReaderPattern.h"
#include "outside/log/CLogWriterInterface.h"

namespace {

const std::vector<std::string>& Names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> v;
    for (int i = 0; i < 200000; ++i) v.push_back("db1_log_" + std::to_string(1000000 + i) + ".trn");
    v.push_back(std::string(30, 'a') + "!");
    return v;
  }();
  return names;
}

void RunOurs(benchmark::State& state, const char* pattern) {
  SetLogWriter(nullptr);
  for (auto _ : state) {
    kxmp::logbackup::SearchPattern compiled(pattern);  // once per search
    int matches = 0;
    for (const auto& n : Names()) matches += compiled.Search(n);
    benchmark::DoNotOptimize(matches);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(Names().size()));
}

void RunStd(benchmark::State& state, const char* pattern) {
  for (auto _ : state) {
    std::regex re(pattern, std::regex::ECMAScript);
    int matches = 0;
    for (const auto& n : Names()) matches += std::regex_search(n, re);
    benchmark::DoNotOptimize(matches);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(Names().size()));
}

void BM_Ours_Literal(benchmark::State& s) { RunOurs(s, "db1_log_1123456.trn"); }
void BM_Std_Literal(benchmark::State& s) { RunStd(s, "db1_log_1123456.trn"); }
void BM_Ours_Regex(benchmark::State& s) { RunOurs(s, "^db1_log_11234\\d\\d\\.trn$"); }
void BM_Std_Regex(benchmark::State& s) { RunStd(s, "^db1_log_11234\\d\\d\\.trn$"); }
void BM_Ours_Pathological(benchmark::State& s) { RunOurs(s, "^(a+)+$"); }

BENCHMARK(BM_Ours_Literal)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Std_Literal)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ours_Regex)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Std_Regex)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ours_Pathological)->Unit(benchmark::kMillisecond);

}  // namespace
