// The HTML template engine beside two peers on the same bytes, gumbo and
// libxml2's HTML parser (htmlReadMemory, recovering): parse throughput,
// plus writing, text positions, loading a kept template and a page built
// the way applications build one (rows copied from a template row).
//
//   build-release/bin/bench_html --benchmark_min_time=0.5
//
// The inputs: 0 and 1, pages of this program's own (1 and 16 MiB), 2 the
// HTML manuals under /usr/share/doc, 3 and 4 pages of the shared legacy
// template generator (1 and 16 MiB; see QUILLON_GEN_HTML below).
//
// One parse in a fresh process, as a CGI page does it (bench/html_parse.sh
// runs this many times and compares):
//
//   bench_html --once ours|gumbo|libxml2 INPUT
//
// prints the seconds of that one parse and the whole process's peak
// resident memory in KiB ("seconds=0.0123 peak_rss_kib=45678"). INPUT is
// own1, own16, manuals, or a file (read before timing; ours takes the
// bytes without a copy, as Load does, the peers read from them).
//
// Warm, N parses in one process after one that is not counted:
//
//   bench_html --warm ours|gumbo|libxml2 INPUT N
//
// prints the best and the median seconds of one parse ("best=0.0041
// median=0.0043"). bench/html_parse.sh runs the engines in turn, round
// after round, so that a ratio is taken between runs minutes apart at
// most: this machine's speed drifts by up to 2x over longer spans, which
// makes ratios between benchmarks run one after the other unreliable.
#include <benchmark/benchmark.h>
#include <gumbo.h>
#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "html/template_cache.h"
#include "quillon/html/document.h"
#include "quillon/platform/files.h"

namespace {

using quillon::html::Document;
namespace platform = quillon::platform;

// ---------------------------------------------------------------------------
// Inputs

// A page shaped like real templates: nested tables of rows with QLID
// cells, forms, running text, inline markup and comments. It flatters the
// engine (regular, ASCII, few repairs); the generator's pages do not.
std::string TemplatePage(size_t bytes) {
  std::string page =
      "<html>\r\n<head>\r\n<title>Orders</title>\r\n<!-- generated page -->\r\n"
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\r\n</head>\r\n"
      "<body bgcolor=\"#ffffff\">\r\n";
  unsigned seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7fff; };
  int block = 0;
  while (page.size() < bytes) {
    ++block;
    page += "<table qlid=orders" + std::to_string(block) +
            " class=\"grid\" border=1 cellpadding=2>\r\n";
    page += "  <tr><th>Customer</th><th>Quantity</th><th>Detail</th></tr>\r\n";
    for (int r = 0; r < 8; ++r) {
      page += "  <tr qlid=row>\r\n    <td qlid=name>Customer " + std::to_string(next()) +
              " Ltd.</td>\r\n    <td qlid=qty align=right>" + std::to_string(next() % 100) +
              "</td>\r\n    <td><table><tr><td><a href=\"/item?id=" + std::to_string(next()) +
              "\">details</a></td></tr></table></td>\r\n  </tr>\r\n";
    }
    page += "</table>\r\n";
    page +=
        "<form method=post action=\"/save\">\r\n  <input type=text name=q qlid=q value=\"x\">\r\n"
        "  <select name=s qlid=s>\r\n    <option value=1>One\r\n    <option value=2 selected>Two\r\n"
        "  </select>\r\n  <textarea name=t>some text</textarea>\r\n"
        "  <input type=radio name=c value=a checked> <input type=submit value=\"Save\">\r\n</form>\r\n";
    page +=
        "<p>Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do <b>eiusmod</b> "
        "tempor\r\nincididunt ut labore et <i>dolore</i> magna aliqua.</p>\r\n"
        "<!-- block " + std::to_string(block) + " -->\r\n"
        "<div class=box><ul><li>item one<li>item two</ul></div>\r\n";
  }
  page += "</body>\r\n</html>\r\n";
  return page;
}

std::string Manuals() {
  std::string all;
  std::error_code ec;
  namespace fs = std::filesystem;
  std::vector<std::string> files;
  for (fs::recursive_directory_iterator it("/usr/share/doc", ec), end; !ec && it != end;
       it.increment(ec)) {
    std::string ext = it->path().extension().string();
    if (it->is_regular_file(ec) && (ext == ".html" || ext == ".htm")) {
      files.push_back(it->path().string());
    }
  }
  std::sort(files.begin(), files.end());
  for (const std::string& f : files) {
    std::string text;
    // A file with zero bytes is not a page of text (the UTF-16 samples some
    // packages ship): libxml2 stops at the first one, so a concatenation
    // holding it would time libxml2 on a twentieth of the input.
    if (platform::ReadWholeFile(f, &text) && text.find('\0') == std::string::npos) all += text;
  }
  return all;
}

// A page of the shared legacy template generator, made once per process
// in a temporary folder. The generator is QUILLON_GEN_HTML, else the one
// beside the source tree; without Python or the generator: empty.
std::string GeneratedPage(int mib) {
  const char* set = std::getenv("QUILLON_GEN_HTML");
  const std::string generator = set != nullptr ? set : QUILLON_DEFAULT_GEN_HTML;
  const std::string out = platform::TempDirectory() + "quillon_bench_gen_" +
                          std::to_string(getpid()) + "_" + std::to_string(mib) + ".html";
  const std::string command =
      "python3 '" + generator + "' " + std::to_string(mib) + " '" + out + "' >/dev/null 2>&1";
  std::string text;
  if (std::system(command.c_str()) == 0) platform::ReadWholeFile(out, &text);
  platform::RemoveFile(out);
  platform::RemoveFile(out + ".expect");
  return text;
}

const std::string& Input(int which) {
  static std::string inputs[5];
  static bool made[5] = {};
  if (!made[which]) {
    made[which] = true;
    switch (which) {
      case 0: inputs[0] = TemplatePage(1 << 20); break;
      case 1: inputs[1] = TemplatePage(16 << 20); break;
      case 2: inputs[2] = Manuals(); break;
      case 3: inputs[3] = GeneratedPage(1); break;
      case 4: inputs[4] = GeneratedPage(16); break;
    }
  }
  return inputs[which];
}

const char* kInputNames[] = {"own 1 MiB", "own 16 MiB", "manuals", "generated 1 MiB",
                             "generated 16 MiB"};

const platform::CodePage& Utf8() { return platform::CodePage::Get(platform::CodePage::kUtf8); }

const htmlParserOption kLibxml2Options = static_cast<htmlParserOption>(
    HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET);

htmlDocPtr Libxml2Parse(const std::string& text) {
  return htmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, "UTF-8",
                        kLibxml2Options);
}

// ---------------------------------------------------------------------------
// Parsing, side by side (warm: many parses in one process)

void BM_ParseOurs(benchmark::State& state) {
  const std::string& text = Input(static_cast<int>(state.range(0)));
  if (text.empty()) return state.SkipWithError("no input");
  Document doc(Utf8());
  for (auto _ : state) {
    doc.SetMasterPage(text);
    benchmark::DoNotOptimize(doc.Root());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.SetLabel(kInputNames[state.range(0)]);
}

void BM_ParseGumbo(benchmark::State& state) {
  const std::string& text = Input(static_cast<int>(state.range(0)));
  if (text.empty()) return state.SkipWithError("no input");
  for (auto _ : state) {
    GumboOutput* out = gumbo_parse_with_options(&kGumboDefaultOptions, text.data(), text.size());
    benchmark::DoNotOptimize(out);
    gumbo_destroy_output(&kGumboDefaultOptions, out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.SetLabel(kInputNames[state.range(0)]);
}

void BM_ParseLibxml2(benchmark::State& state) {
  const std::string& text = Input(static_cast<int>(state.range(0)));
  if (text.empty()) return state.SkipWithError("no input");
  for (auto _ : state) {
    htmlDocPtr doc = Libxml2Parse(text);
    benchmark::DoNotOptimize(doc);
    xmlFreeDoc(doc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.SetLabel(kInputNames[state.range(0)]);
}

// Parse and write the page form, as a page request does.
void BM_ParseAndGetPageData(benchmark::State& state) {
  const std::string& text = Input(static_cast<int>(state.range(0)));
  if (text.empty()) return state.SkipWithError("no input");
  Document doc(Utf8());
  for (auto _ : state) {
    doc.SetMasterPage(text);
    benchmark::DoNotOptimize(doc.GetPageData());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.SetLabel(kInputNames[state.range(0)]);
}

// ---------------------------------------------------------------------------
// Writing: bytes of page written per second.

void BM_GetPageData(benchmark::State& state) {
  const std::string& text = Input(static_cast<int>(state.range(0)));
  if (text.empty()) return state.SkipWithError("no input");
  Document doc(Utf8());
  doc.SetMasterPage(text);
  size_t written = 0;
  for (auto _ : state) {
    std::string page = doc.GetPageData();
    written += page.size();
    benchmark::DoNotOptimize(page);
  }
  state.SetBytesProcessed(static_cast<int64_t>(written));
  state.SetLabel(kInputNames[state.range(0)]);
}

class NullOutput : public quillon::html::Output {
 public:
  void AppendText(std::string_view text) override { bytes += text.size(); }
  void LineEnd() override { bytes += 2; }
  size_t bytes = 0;
};

// An output keeping its text in one string, as a server's response does:
// the writer appends the page to it in place of a call per line.
class StringOutput : public quillon::html::Output {
 public:
  void AppendText(std::string_view piece) override { text.append(piece); }
  void LineEnd() override { text += "\r\n"; }
  std::string* DirectText(bool* skip_leading_line_end) override {
    *skip_leading_line_end = false;
    return &text;
  }
  void DirectTextEnd(bool) override {}
  std::string text;
};

// ---------------------------------------------------------------------------
// Text positions on a page of 20,000 tags

void BM_TextPosToTag(benchmark::State& state) {
  std::string page = "<html><body>\r\n<table>\r\n";
  for (int r = 0; r < 2900; ++r) {
    page += "<tr><td qlid=a>cell " + std::to_string(r) + "</td><td><b>x</b> y</td></tr>\r\n";
  }
  page += "</table></body></html>";
  Document doc(Utf8());
  doc.SetMasterPage(page);
  int tags = 0;
  for (auto t = doc.FindNext(); t; t = doc.FindNext()) ++tags;
  int32_t length = static_cast<int32_t>(doc.GetPageData().size());
  int32_t pos = 0;
  for (auto _ : state) {
    pos = (pos + 7919) % length;
    benchmark::DoNotOptimize(doc.TextPosToTag(false, pos));
  }
  state.counters["tags"] = tags;
}

// ---------------------------------------------------------------------------
// Loading the 1,000-row page's template from its file, as each request of a
// serving process does: 0 parsed every time (the kept templates off), 1
// copied from the kept parse.
void BM_LoadTemplate(benchmark::State& state) {
  const std::string file = platform::TempDirectory() + "quillon_bench_table_" +
                           std::to_string(getpid()) + ".htm";
  std::string text;
  if (!platform::ReadWholeFile(QUILLON_TABLE_TEMPLATE, &text) ||
      !platform::WriteWholeFile(file, text)) {
    return state.SkipWithError("no template");
  }
  auto& cache = quillon::html::TemplateCache::Instance();
  const size_t limit = cache.limit();
  cache.SetLimit(state.range(0) ? quillon::html::TemplateCache::kDefaultBytes : 0);
  for (auto _ : state) {
    Document doc;
    doc.Load(file);
    benchmark::DoNotOptimize(doc.Root());
  }
  cache.SetLimit(limit);
  platform::RemoveFile(file);
}

// ---------------------------------------------------------------------------
// A page built like an application builds it: a 1,000-row table copied
// from one template row, each row's cells filled by identifier, written
// to an output. Stopped after each step (0: rows copied, 1: cells filled,
// 2: written, the whole page), so that the differences show where the time
// goes.
void BM_BuildTableAndWrite(benchmark::State& state) {
  const std::string master =
      "<html><head><title>Orders</title></head><body>\r\n<table qlid=list border=1>\r\n"
      "<tr><th>Name</th><th>Quantity</th><th>Price</th></tr>\r\n"
      "<tr qlid=row><td qlid=name>x</td><td qlid=qty align=right>0</td>"
      "<td qlid=price align=right>0</td></tr>\r\n</table>\r\n</body></html>";
  // Steps: 0 rows copied, 1 cells filled, 2 page written to an output a
  // line at a time, 3 the same page written into a response's text.
  const int64_t steps = state.range(0);
  NullOutput out;
  StringOutput response;
  for (auto _ : state) {
    Document doc(Utf8());
    doc.SetMasterPage(master);
    auto row = doc.FindByID("row");
    auto table = row->Parent();
    row->AddCopy(table.get(), 1000);
    row->RemoveFromParent();
    if (steps >= 1) {
      for (int32_t i = 1; i < table->ChildCount(); ++i) {
        auto r = table->Children().Item(i);
        r->FindByID("name")->SetText("Customer " + std::to_string(i));
        r->FindByID("qty")->SetText(std::to_string(i % 97));
        r->FindByID("price")->SetText(std::to_string(i * 3) + ".00");
      }
    }
    if (steps == 2) doc.WriteTo(&out);
    if (steps == 3) {
      response.text.clear();
      doc.WriteTo(&response);
      out.bytes += response.text.size();
    }
  }
  state.counters["out_bytes_per_page"] =
      static_cast<double>(out.bytes) / static_cast<double>(state.iterations());
}

BENCHMARK(BM_ParseOurs)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseGumbo)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseLibxml2)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseAndGetPageData)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetPageData)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TextPosToTag)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadTemplate)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BuildTableAndWrite)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------
// One parse in this process.

long PeakRssKib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// The bytes of INPUT (own1, own16, manuals or a file); false when a file
// cannot be read.
bool ReadInput(const std::string& input, std::string* text) {
  if (input == "own1") {
    *text = Input(0);
  } else if (input == "own16") {
    *text = Input(1);
  } else if (input == "manuals") {
    *text = Input(2);
  } else if (!platform::ReadWholeFile(input, text)) {
    std::fprintf(stderr, "cannot read %s\n", input.c_str());
    return false;
  }
  return true;
}

int Once(const std::string& engine, const std::string& input) {
  std::string text;
  if (!ReadInput(input, &text)) return 2;
  if (engine == "libxml2") xmlInitParser();
  using Clock = std::chrono::steady_clock;
  Clock::time_point start;
  Clock::time_point end;
  size_t nodes = 0;
  if (engine == "ours") {
    Document doc(Utf8());
    start = Clock::now();
    doc.SetMasterPage(std::move(text));
    end = Clock::now();
    nodes = static_cast<size_t>(std::ranges::distance(doc.Root()->Descendants()));
  } else if (engine == "gumbo") {
    start = Clock::now();
    GumboOutput* out = gumbo_parse_with_options(&kGumboDefaultOptions, text.data(), text.size());
    end = Clock::now();
    nodes = out->root->v.element.children.length;
    gumbo_destroy_output(&kGumboDefaultOptions, out);
  } else if (engine == "libxml2") {
    start = Clock::now();
    htmlDocPtr doc = Libxml2Parse(text);
    end = Clock::now();
    nodes = doc != nullptr && doc->children != nullptr;
    xmlFreeDoc(doc);
  } else {
    std::fprintf(stderr, "unknown engine %s\n", engine.c_str());
    return 2;
  }
  std::printf("seconds=%.6f peak_rss_kib=%ld nodes=%zu\n",
              std::chrono::duration<double>(end - start).count(), PeakRssKib(), nodes);
  return 0;
}

int Warm(const std::string& engine, const std::string& input, int parses) {
  std::string text;
  if (!ReadInput(input, &text)) return 2;
  xmlInitParser();
  using Clock = std::chrono::steady_clock;
  Document doc(Utf8());
  auto parse = [&]() -> bool {
    if (engine == "ours") {
      doc.SetMasterPage(text);
      benchmark::DoNotOptimize(doc.Root());
    } else if (engine == "gumbo") {
      GumboOutput* out = gumbo_parse_with_options(&kGumboDefaultOptions, text.data(), text.size());
      benchmark::DoNotOptimize(out);
      gumbo_destroy_output(&kGumboDefaultOptions, out);
    } else if (engine == "libxml2") {
      htmlDocPtr parsed = Libxml2Parse(text);
      benchmark::DoNotOptimize(parsed);
      xmlFreeDoc(parsed);
    } else {
      return false;
    }
    return true;
  };
  if (parses < 1 || !parse()) {
    std::fprintf(stderr, "usage: bench_html --warm ours|gumbo|libxml2 INPUT N (N >= 1)\n");
    return 2;
  }
  std::vector<double> seconds;
  for (int i = 0; i < parses; ++i) {
    const auto start = Clock::now();
    parse();
    seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  std::printf("best=%.6f median=%.6f\n", seconds.front(), seconds[seconds.size() / 2]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--once") == 0) return Once(argv[2], argv[3]);
  if (argc == 5 && std::strcmp(argv[1], "--warm") == 0) {
    return Warm(argv[2], argv[3], std::atoi(argv[4]));
  }
  xmlInitParser();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
