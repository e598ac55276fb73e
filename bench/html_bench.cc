// The HTML template engine against gumbo on the same bytes: parse
// throughput and peak memory, plus writing, text positions and a page
// built the way applications build one (rows copied from a template row).
//
//   build-rel/bin/bench_html --benchmark_min_time=0.5
//
// Peak memory is the high-water mark of live heap bytes during one parse,
// counted by this program's allocation functions (ours) and by gumbo's
// allocator hook (gumbo), the input text excluded.
#include <benchmark/benchmark.h>
// The replacement allocation functions pair malloc with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#include <gumbo.h>
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "quillon/html/document.h"
#include "quillon/platform/files.h"

namespace {

// ---------------------------------------------------------------------------
// Heap accounting

// Counting costs a call per allocation: it is on only while a peak is
// measured, outside the timed loops.
bool counting = false;
size_t live_bytes = 0;
size_t peak_bytes = 0;

void Count(void* p) {
  if (!p || !counting) return;
  live_bytes += malloc_usable_size(p);
  peak_bytes = std::max(peak_bytes, live_bytes);
}
void Uncount(void* p) {
  if (p && counting) live_bytes -= malloc_usable_size(p);
}

// Peak live heap bytes while `run` runs, over what was live before.
template <class F>
double PeakMiB(F&& run) {
  live_bytes = peak_bytes = 0;
  counting = true;
  run();
  counting = false;
  return static_cast<double>(peak_bytes) / (1 << 20);
}

}  // namespace

void* operator new(size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  Count(p);
  return p;
}
void* operator new(size_t size, std::align_val_t align) {
  void* p = std::aligned_alloc(static_cast<size_t>(align),
                               (size + static_cast<size_t>(align) - 1) &
                                   ~(static_cast<size_t>(align) - 1));
  if (!p) throw std::bad_alloc();
  Count(p);
  return p;
}
void operator delete(void* p) noexcept {
  Uncount(p);
  std::free(p);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete(void* p, std::align_val_t) noexcept { operator delete(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { operator delete(p); }

namespace {

void* GumboAlloc(void*, size_t size) {
  void* p = std::malloc(size);
  Count(p);
  return p;
}
void GumboFree(void*, void* p) {
  Uncount(p);
  std::free(p);
}

using quillon::html::Document;
namespace platform = quillon::platform;

// ---------------------------------------------------------------------------
// Inputs

// A page shaped like real templates: nested tables of rows with QLID
// cells, forms, running text, inline markup and comments.
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
    if (quillon::platform::ReadWholeFile(f, &text)) all += text;
  }
  return all;
}

const std::string& Input(int which) {
  static const std::string small = TemplatePage(1 << 20);
  static const std::string large = TemplatePage(16 << 20);
  static const std::string manuals = Manuals();
  return which == 0 ? small : which == 1 ? large : manuals;
}

const platform::CodePage& Utf8() { return platform::CodePage::Get(platform::CodePage::kUtf8); }

// ---------------------------------------------------------------------------
// Parsing, side by side

void BM_ParseOurs(benchmark::State& state) {
  const std::string& text = Input(static_cast<int>(state.range(0)));
  if (text.empty()) return state.SkipWithError("no input");
  Document doc(Utf8());
  for (auto _ : state) {
    doc.SetMasterPage(text);
    benchmark::DoNotOptimize(doc.Root());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  doc.Clear();
  // Freed memory is uncounted only if it was counted: measure a whole
  // document's life, so everything freed was allocated inside.
  state.counters["peak_MiB"] = PeakMiB([&] {
    Document fresh(Utf8());
    fresh.SetMasterPage(text);
  });
}

void BM_ParseGumbo(benchmark::State& state) {
  const std::string& text = Input(static_cast<int>(state.range(0)));
  if (text.empty()) return state.SkipWithError("no input");
  GumboOptions options = kGumboDefaultOptions;
  options.allocator = GumboAlloc;
  options.deallocator = GumboFree;
  for (auto _ : state) {
    GumboOutput* out = gumbo_parse_with_options(&options, text.data(), text.size());
    benchmark::DoNotOptimize(out);
    gumbo_destroy_output(&options, out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["peak_MiB"] = PeakMiB([&] {
    GumboOutput* out = gumbo_parse_with_options(&options, text.data(), text.size());
    gumbo_destroy_output(&options, out);
  });
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
}

// ---------------------------------------------------------------------------
// Writing

void BM_GetPageData(benchmark::State& state) {
  Document doc(Utf8());
  doc.SetMasterPage(Input(static_cast<int>(state.range(0))));
  size_t written = 0;
  for (auto _ : state) {
    std::string page = doc.GetPageData();
    written += page.size();
    benchmark::DoNotOptimize(page);
  }
  state.SetBytesProcessed(static_cast<int64_t>(written));
}

class NullOutput : public quillon::html::Output {
 public:
  void AppendText(std::string_view text) override { bytes += text.size(); }
  void LineEnd() override { bytes += 2; }
  size_t bytes = 0;
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
  const int64_t steps = state.range(0);
  NullOutput out;
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
    if (steps >= 2) doc.WriteTo(&out);
  }
  state.counters["out_bytes_per_page"] =
      static_cast<double>(out.bytes) / static_cast<double>(state.iterations());
}

}  // namespace

BENCHMARK(BM_ParseOurs)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseGumbo)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseAndGetPageData)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetPageData)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TextPosToTag)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BuildTableAndWrite)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
