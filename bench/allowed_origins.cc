// Cost of one allow-list check where no pattern matches (the worst case: every pattern is
// tried), against the literal algorithm that rewrites and compiles every pattern per call.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "policy/allowed_origins.h"
#include "support/oracles.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> Patterns(int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) {
    // A realistic mix: plain origins, wildcards, default ports and a small class.
    switch (i % 4) {
      case 0:
        out.push_back("https://site" + std::to_string(i) + ".example.com");
        break;
      case 1:
        out.push_back("https://*.corp" + std::to_string(i) + ".example.org");
        break;
      case 2:
        out.push_back("https://app" + std::to_string(i) + ".example.net:443/path");
        break;
      default:
        out.push_back("http://intranet-[a-c]" + std::to_string(i) + ":8080");
    }
  }
  return out;
}

template <typename F>
double NanosPerCall(int iterations, F&& f) {
  bool sink = false;
  const auto start = Clock::now();
  for (int i = 0; i < iterations; ++i) sink ^= f();
  const auto end = Clock::now();
  if (sink) std::fputs("", stdout);  // keep the calls
  return std::chrono::duration<double, std::nano>(end - start).count() / iterations;
}

// The median of `runs` timings of `iterations` calls each, in ns per call.
template <typename F>
double MedianNanos(int runs, int iterations, F&& f) {
  std::vector<double> t;
  for (int r = 0; r < runs; ++r) t.push_back(NanosPerCall(iterations, f));
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

// A URL covered by pattern `i` of Patterns(n) and by no other.
std::string UrlFor(int i) {
  switch (i % 4) {
    case 0:
      return "https://site" + std::to_string(i) + ".example.com/x";
    case 1:
      return "https://a.corp" + std::to_string(i) + ".example.org/";
    case 2:
      return "https://app" + std::to_string(i) + ".example.net/path/x";
    default:
      return "http://intranet-b" + std::to_string(i) + ":8080/";
  }
}

}  // namespace

int main() {
  const std::string url = "https://www.unlisted-host.com:443/some/path?query=value#fragment";
  for (int n : {1, 10, 100, 1000}) {
    const std::vector<std::string> patterns = Patterns(n);
    trb::AllowedOrigins origins;
    origins.Replace(patterns);
    if (origins.Matches(url) || trb::test::ReferenceMatches(patterns, url)) {
      std::fprintf(stderr, "bench list unexpectedly covers the URL\n");
      return 1;
    }
    const int ours_iterations = 200'000 / n + 10;
    const int baseline_iterations = 20'000 / n + 3;
    const double ours = MedianNanos(5, ours_iterations, [&] { return origins.Matches(url); });
    const double baseline = NanosPerCall(
        baseline_iterations, [&] { return trb::test::ReferenceMatches(patterns, url); });
    std::printf("allowed_origins n=%d ours_ns=%.0f baseline_ns=%.0f speedup=%.1f\n", n, ours,
                baseline, baseline / ours);
  }
  {
    // Only the last of 1000 patterns covers the URL: the literal algorithm tries them all.
    const std::vector<std::string> patterns = Patterns(1000);
    const std::string last = UrlFor(999);
    trb::AllowedOrigins origins;
    origins.Replace(patterns);
    const std::vector<std::string> all_but_last(patterns.begin(), patterns.end() - 1);
    if (!origins.Matches(last) || trb::test::ReferenceMatches(all_but_last, last)) {
      std::fprintf(stderr, "bench URL is not covered by the last pattern alone\n");
      return 1;
    }
    const double ours = MedianNanos(5, 2000, [&] { return origins.Matches(last); });
    const double baseline =
        NanosPerCall(23, [&] { return trb::test::ReferenceMatches(patterns, last); });
    std::printf("allowed_origins n=1000 last_matches ours_ns=%.0f baseline_ns=%.0f speedup=%.1f\n",
                ours, baseline, baseline / ours);
  }

  // A 2 MB URL: std::regex overflows the stack long before this length, so the baseline is
  // measured at the longest URL it can take safely and compared per byte.
  const std::vector<std::string> ten = Patterns(10);
  trb::AllowedOrigins origins;
  origins.Replace(ten);
  const std::string big = "https://site0.example.com/" + std::string(2 << 20, 'p');
  const std::string big_miss = "https://unlisted.example.com/" + std::string(2 << 20, 'p');
  const double hit_ns = MedianNanos(5, 4, [&] { return origins.Matches(big); });
  const double miss_ns = MedianNanos(5, 4, [&] { return origins.Matches(big_miss); });
  const std::string safe(8 << 10, 'p');
  const std::string safe_url = "https://site0.example.com/" + safe;
  const double ours_safe = MedianNanos(5, 2000, [&] { return origins.Matches(safe_url); });
  const double baseline_safe =
      NanosPerCall(20, [&] { return trb::test::ReferenceMatches(ten, safe_url); });
  std::printf(
      "allowed_origins url_bytes=%zu patterns=10 ours_covered_ns=%.0f ours_uncovered_ns=%.0f "
      "baseline=stack-overflow\n",
      big.size(), hit_ns, miss_ns);
  std::printf(
      "allowed_origins url_bytes=%zu patterns=10 ours_ns=%.0f baseline_ns=%.0f speedup=%.1f\n",
      safe_url.size(), ours_safe, baseline_safe, baseline_safe / ours_safe);

  // The worst a hostile controller and page can make of one check, against the 10 ms it may
  // hold the UI thread. The first check after Replace is the costly one (RE2 has no DFA
  // states yet), so each list is compiled afresh for every run.
  std::vector<std::string> wild(1000), blowup(5007);
  for (int i = 0; i < 1000; ++i) wild[i] = "https://*.corp" + std::to_string(i) + ".example.org";
  for (int i = 0; i < 5007; ++i) blowup[i] = "https://.*a.{20}b" + std::to_string(i);
  std::mt19937 rng(5);
  const char* fragments[] = {"corp", "co", "c", "1", "2", "3", ".", "example", ".exam", "org", "x"};
  std::string crafted = "https://";
  while (crafted.size() < (2u << 20)) crafted += fragments[rng() % 11];
  std::string ac = "https://";
  while (ac.size() < (2u << 20)) ac += rng() % 2 ? 'a' : 'c';
  const struct {
    const char* name;
    const std::vector<std::string>& list;
    std::string url;
  } hostile[] = {
      {"1000_wildcards_64B", wild, crafted.substr(0, 64)},
      {"1000_wildcards_2KB", wild, crafted.substr(0, 2048)},
      {"1000_wildcards_2MB", wild, crafted},
      {"5007_dfa_blowups_2MB", blowup, ac},
      {"dfa_blowup_2MB", {blowup[0]}, ac},
      {"nested_stars_2MB", {"(a*)*\\1b"}, std::string(2 << 20, 'a')},
      {"backref_quadratic_2MB", {"(.*)\\1z"}, std::string(2 << 20, 'a')},
  };
  for (const auto& h : hostile) {
    std::vector<double> t;
    for (int r = 0; r < 5; ++r) {
      trb::AllowedOrigins fresh;
      fresh.Replace(h.list);
      t.push_back(NanosPerCall(1, [&] { return fresh.Matches(h.url); }));
    }
    std::sort(t.begin(), t.end());
    std::printf("allowed_origins hostile=%s cold_check_ns=%.0f budget_ns=10000000 ratio=%.2f\n",
                h.name, t[2], t[2] / 1e7);
  }
  return 0;
}
