// The value encoding against libcurl's URL escaping on the same buffers:
// 1 MiB of random bytes and 1 MiB of ASCII prose. Decoders are fed the
// encoded form of each buffer (what travels), and the ASCII prose as it is
// (an unencoded query string). Throughput counts input bytes; both sides
// allocate their result on every call.
//
// After the usual table, prints ours/libcurl throughput for every input.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "quillon/core/encoding.h"
#include "quillon/platform/codepage.h"

namespace {

using quillon::core::DecodeValue;
using quillon::core::EncodeValue;

constexpr size_t kInputSize = 1 << 20;

const std::string& RandomBytes() {
  static const std::string kBytes = [] {
    std::mt19937_64 rng(20240601);
    std::string b(kInputSize, '\0');
    for (char& c : b) c = static_cast<char>(rng());
    return b;
  }();
  return kBytes;
}

// Words of lower-case letters, capitals at sentence starts, blanks, commas,
// full stops and line ends: the text of a typical form field.
const std::string& AsciiText() {
  static const std::string kText = [] {
    std::mt19937 rng(42);
    std::string t;
    t.reserve(kInputSize + 16);
    bool sentence_start = true;
    while (t.size() < kInputSize) {
      const int length = 1 + static_cast<int>(rng() % 9);
      for (int i = 0; i < length; ++i) {
        char c = static_cast<char>('a' + rng() % 26);
        if (i == 0 && sentence_start) c = static_cast<char>(c - 'a' + 'A');
        t.push_back(c);
      }
      sentence_start = false;
      switch (rng() % 16) {
        case 0:
          t += ", ";
          break;
        case 1:
          t += ". ";
          sentence_start = true;
          break;
        case 2:
          t += ".\r\n";
          sentence_start = true;
          break;
        default:
          t += ' ';
      }
    }
    t.resize(kInputSize);
    return t;
  }();
  return kText;
}

struct Input {
  const char* name;
  const std::string& (*bytes)();
};
const Input kInputs[] = {{"random", RandomBytes}, {"ascii", AsciiText}};

CURL* Curl() {
  static CURL* curl = curl_easy_init();
  return curl;
}

void OursEncode(benchmark::State& state, const std::string& (*input)()) {
  const std::string& in = input();
  for (auto _ : state) {
    std::string out = EncodeValue(in);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void CurlEncode(benchmark::State& state, const std::string& (*input)()) {
  const std::string& in = input();
  for (auto _ : state) {
    char* out = curl_easy_escape(Curl(), in.data(), static_cast<int>(in.size()));
    benchmark::DoNotOptimize(out);
    curl_free(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void OursDecode(benchmark::State& state, const std::string* text) {
  const auto& cp = quillon::platform::CodePage::Get(quillon::platform::CodePage::kUtf8);
  for (auto _ : state) {
    std::string out = DecodeValue(*text, cp);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text->size()));
}

void CurlDecode(benchmark::State& state, const std::string* text) {
  for (auto _ : state) {
    int length = 0;
    char* out = curl_easy_unescape(Curl(), text->data(), static_cast<int>(text->size()), &length);
    benchmark::DoNotOptimize(out);
    curl_free(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text->size()));
}

// Collects bytes per second by benchmark name while printing as usual.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end() && run.run_type == Run::RT_Iteration) {
        rates_[run.benchmark_name()] = it->second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    std::printf("\n%-26s %12s %12s %8s\n", "input", "ours MB/s", "libcurl MB/s", "ratio");
    for (const auto& [name, ours] : rates_) {
      if (name.rfind("ours/", 0) != 0) continue;
      auto theirs = rates_.find("curl/" + name.substr(5));
      if (theirs == rates_.end() || theirs->second <= 0) continue;
      std::printf("%-26s %12.0f %12.0f %7.1fx\n", name.substr(5).c_str(), ours / 1e6,
                  theirs->second / 1e6, ours / theirs->second);
    }
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  // The decoders' inputs live as long as the run.
  static std::vector<std::string> texts;
  texts.reserve(8);
  for (const Input& input : kInputs) {
    const std::string name = input.name;
    benchmark::RegisterBenchmark(("ours/encode/" + name).c_str(), OursEncode, input.bytes);
    benchmark::RegisterBenchmark(("curl/encode/" + name).c_str(), CurlEncode, input.bytes);
    texts.push_back(EncodeValue(input.bytes()));
    benchmark::RegisterBenchmark(("ours/decode/encoded-" + name).c_str(), OursDecode,
                                 &texts.back());
    benchmark::RegisterBenchmark(("curl/decode/encoded-" + name).c_str(), CurlDecode,
                                 &texts.back());
  }
  texts.push_back(AsciiText());
  benchmark::RegisterBenchmark("ours/decode/plain-ascii", OursDecode, &texts.back());
  benchmark::RegisterBenchmark("curl/decode/plain-ascii", CurlDecode, &texts.back());

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  curl_easy_cleanup(Curl());
  curl_global_cleanup();
  return 0;
}
