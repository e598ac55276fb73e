// The value encoding and the hex byte text. Both sides of every exchange
// run these on whole request and response bodies, so the loops are
// table-driven and allocate once per call.
#include "quillon/core/encoding.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
// glibc's header declares its inline functions with C's _Bool, which g++
// accepts in C++ and clang++ (the fuzz build) does not.
#if defined(__clang__)
#define _Bool bool
#include <sys/platform/x86.h>
#undef _Bool
#else
#include <sys/platform/x86.h>
#endif
#endif

#include "core/encoding_internal.h"
#include "quillon/component/runtime.h"

namespace quillon::core {
namespace {

// The length of the text as the peers see it: up to its first zero byte.
size_t CStringLength(std::string_view text) {
  if (text.empty()) return 0;  // data() may be null
  const void* zero = std::memchr(text.data(), 0, text.size());
  return zero == nullptr ? text.size() : static_cast<const char*>(zero) - text.data();
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

constexpr bool IsAsciiAlnum(unsigned c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// One entry per byte: the (up to) three output characters and their count
// in the last byte, so the encoder stores four bytes and advances by the
// count without branching on the byte's class.
struct EncodeEntry {
  char chars[3];
  uint8_t length;
};
static_assert(sizeof(EncodeEntry) == 4);

constexpr std::array<EncodeEntry, 256> MakeEncodeTable() {
  std::array<EncodeEntry, 256> table{};
  for (unsigned b = 0; b < 256; ++b) {
    if (IsAsciiAlnum(b)) {
      table[b] = {{static_cast<char>(b), 0, 0}, 1};
    } else if (b == ' ') {
      table[b] = {{'+', 0, 0}, 1};
    } else {
      table[b] = {{'%', kHexDigits[b >> 4], kHexDigits[b & 0xF]}, 3};
    }
  }
  return table;
}
constexpr std::array<EncodeEntry, 256> kEncodeTable = MakeEncodeTable();

// The peers' digit arithmetic: c - '0' below 'A', else (c & ~0x20) - 55.
// Characters that are no hex digits are deliberately not rejected.
constexpr std::array<int16_t, 256> MakeDigitTable() {
  std::array<int16_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    table[c] = static_cast<int16_t>(c < 'A' ? c - '0' : (c & ~0x20) - 55);
  }
  return table;
}
constexpr std::array<int16_t, 256> kDigit = MakeDigitTable();

inline uint8_t EscapeByte(uint8_t high, uint8_t low) {
  return static_cast<uint8_t>(16 * kDigit[high] + kDigit[low]);
}

// Bytes that need more than a copy while decoding: '%' and the lead bytes
// of the code page. '+' is handled by the translation table instead, so
// text with many blanks stays on the fast path.
struct DecodeTable {
  std::array<uint8_t, 256> stop{};
  std::array<uint8_t, 256> translate{};
};

DecodeTable MakeDecodeTable(const platform::CodePage& cp) {
  DecodeTable table;
  for (unsigned b = 0; b < 256; ++b) {
    table.translate[b] = static_cast<uint8_t>(b == '+' ? ' ' : b);
    table.stop[b] = (b == '%' || cp.IsLeadByte(static_cast<uint8_t>(b))) ? 1 : 0;
  }
  return table;
}

const DecodeTable& DecodeTableFor(const platform::CodePage& cp) {
  // CodePage::Get maps every number but 932 to the UTF-8 code page.
  if (cp.number() == platform::CodePage::kJapanese) {
    static const DecodeTable kJapanese = MakeDecodeTable(cp);
    return kJapanese;
  }
  static const DecodeTable kUtf8 = MakeDecodeTable(cp);
  return kUtf8;
}

}  // namespace

// How many bytes EncodeValue makes of `bytes`: three for every byte that is
// escaped, one for the rest.
size_t EncodedLength(std::string_view bytes) {
  const auto* in = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t n = bytes.size();
  size_t escaped = 0;
  size_t i = 0;
#if defined(__SSE2__)
  // Bytes that are copied (letters, digits) or become '+' (the blank), by
  // ranges: x is in [lo, hi] when max(x, lo) == x and min(x, hi) == x.
  auto in_range = [](__m128i x, char lo, char hi) {
    return _mm_and_si128(_mm_cmpeq_epi8(_mm_max_epu8(x, _mm_set1_epi8(lo)), x),
                         _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(hi)), x));
  };
  // Escaped bytes are summed per lane and folded every 255 blocks, before
  // a lane can overflow.
  const __m128i one = _mm_set1_epi8(1);
  while (n - i >= 16) {
    __m128i sums = _mm_setzero_si128();
    for (int k = 0; k < 255 && n - i >= 16; ++k, i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
      const __m128i kept = _mm_or_si128(
          _mm_or_si128(in_range(v, '0', '9'), in_range(v, 'A', 'Z')),
          _mm_or_si128(in_range(v, 'a', 'z'), _mm_cmpeq_epi8(v, _mm_set1_epi8(' '))));
      sums = _mm_add_epi8(sums, _mm_andnot_si128(kept, one));
    }
    const __m128i total = _mm_sad_epu8(sums, _mm_setzero_si128());
    escaped += static_cast<size_t>(_mm_cvtsi128_si32(total)) +
               static_cast<size_t>(_mm_cvtsi128_si32(_mm_srli_si128(total, 8)));
  }
#endif
  for (; i < n; ++i) escaped += kEncodeTable[in[i]].length == 3 ? 1 : 0;
  return n + 2 * escaped;
}

void AppendEncodedValue(std::string_view bytes, std::string* out) {
  // Reserved exactly first (the only step that can fail), then written in
  // pieces through a buffer on the stack: a large value is encoded straight
  // into its place, without the zero-filling of a resize or a second copy.
  out->reserve(out->size() + EncodedLength(bytes));
  com::AdviseLargeBuffer(out->data() + out->size(), out->capacity() - out->size());
  constexpr size_t kPiece = 1024;
  // Every entry is stored as four bytes, so one byte of slack past the
  // worst case of three output bytes per input byte.
  char buffer[3 * kPiece + 1];
  const auto* in = reinterpret_cast<const uint8_t*>(bytes.data());
  for (size_t at = 0; at < bytes.size(); at += kPiece) {
    const size_t end = std::min(bytes.size(), at + kPiece);
    char* o = buffer;
    for (size_t i = at; i < end; ++i) {
      const EncodeEntry& entry = kEncodeTable[in[i]];
      std::memcpy(o, &entry, sizeof entry);
      o += entry.length;
    }
    out->append(buffer, static_cast<size_t>(o - buffer));
  }
}

size_t EncodeValuePiece(std::string_view bytes, char* out, size_t room, size_t* consumed) {
  const auto* in = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  char* o = out;
  // Each entry is stored as four bytes, so the fast loop keeps that much
  // room; the last few characters are written one entry at a time.
  while (i < n && static_cast<size_t>(out + room - o) >= sizeof(EncodeEntry)) {
    const EncodeEntry& entry = kEncodeTable[in[i++]];
    std::memcpy(o, &entry, sizeof entry);
    o += entry.length;
  }
  while (i < n) {
    const EncodeEntry& entry = kEncodeTable[in[i]];
    if (static_cast<size_t>(out + room - o) < entry.length) break;
    std::memcpy(o, entry.chars, entry.length);
    o += entry.length;
    ++i;
  }
  *consumed = i;
  return static_cast<size_t>(o - out);
}

std::string EncodeValue(std::string_view bytes) {
  std::string out;
  AppendEncodedValue(bytes, &out);
  return out;
}

std::string EncodeText(std::string_view text) {
  return EncodeValue(text.substr(0, CStringLength(text)));
}

namespace {

// One step of the decoder's walk at in[i] (i < n): an escape, a cut-short
// escape, a blank, a copied byte - or, for a lead byte, the end of the
// walk, reported by returning false.
inline bool DecodeStep(const uint8_t* in, size_t n, size_t* i, uint8_t** o,
                       const DecodeTable& table) {
  const uint8_t b = in[*i];
  if (b == '%' && n - *i >= 3) {
    *(*o)++ = EscapeByte(in[*i + 1], in[*i + 2]);
    *i += 3;
    return true;
  }
  // A '%' cut short by the end of the text is kept as it is.
  if (b != '%' && table.stop[b]) return false;
  *(*o)++ = table.translate[b];
  ++*i;
  return true;
}

#if defined(__x86_64__) || defined(__i386__)
#define QUILLON_VECTOR_DECODE 1

// For every 8-bit keep mask: the indices of the kept lanes packed to the
// front (for pshufb) and how many there are.
struct CompactTable {
  uint8_t index[256][8];
  uint8_t count[256];
};

constexpr CompactTable MakeCompactTable() {
  CompactTable table{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    uint8_t k = 0;
    for (uint8_t lane = 0; lane < 8; ++lane) {
      if (mask & (1u << lane)) table.index[mask][k++] = lane;
    }
    for (uint8_t rest = k; rest < 8; ++rest) table.index[mask][rest] = 0x80;
    table.count[mask] = k;
  }
  return table;
}
constexpr CompactTable kCompact = MakeCompactTable();

struct BlockProgress {
  size_t in;      // input bytes decoded
  size_t out;     // output bytes written
  size_t scalar;  // > 0: the scalar walk must cover this many bytes first
};

// Decodes whole 16-byte blocks: escapes, '+' and copies at once, then the
// digits of the escapes squeezed out with pshufb. A block with a byte from
// 0x80 up (a possible lead byte) or with two '%' within three bytes of each
// other (where the walk's order decides which is an escape) is left to the
// scalar walk, as is everything after it up to `scalar` bytes.
//
// Stores are 8 bytes wide and may run past the bytes produced, never past
// out + n: the decoder never writes ahead of what it has read, and a block
// is only taken while 16 input bytes remain.
__attribute__((target("ssse3"))) BlockProgress DecodeBlocks(const uint8_t* in, size_t n,
                                                            uint8_t* o) {
  const __m128i percent = _mm_set1_epi8('%');
  const __m128i plus = _mm_set1_epi8('+');
  const __m128i plus_to_blank = _mm_set1_epi8('+' ^ ' ');
  const __m128i letter_a = _mm_set1_epi8('A');
  const __m128i zero_char = _mm_set1_epi8('0');
  const __m128i case_bit_off = _mm_set1_epi8(static_cast<char>(~0x20));
  const __m128i letter_bias = _mm_set1_epi8(55);
  const __m128i high_nibble = _mm_set1_epi8(static_cast<char>(0xF0));
  const __m128i eight = _mm_set1_epi8(8);
  size_t i = 0;
  size_t w = 0;
  while (n - i >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const __m128i is_percent = _mm_cmpeq_epi8(v, percent);
    const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
    const unsigned pct = static_cast<unsigned>(_mm_movemask_epi8(is_percent));
    const unsigned crowded = pct & ((pct << 1) | (pct << 2));
    if ((high | crowded) != 0) {
      return {i, w, static_cast<size_t>(__builtin_ctz(high | crowded)) + 1};
    }
    // An escape whose digits lie in the next block ends this one early.
    const unsigned straddling = pct & 0xC000u;
    const unsigned limit = straddling != 0 ? static_cast<unsigned>(__builtin_ctz(straddling)) : 16;
    const unsigned in_block = (1u << limit) - 1;
    const unsigned starts = pct & in_block;
    const unsigned keep = ~((starts << 1) | (starts << 2)) & in_block;

    // The digit arithmetic on every lane (all below 0x80 here, so signed
    // compares are safe): c - '0' below 'A', else (c & ~0x20) - 55.
    const __m128i below_a = _mm_cmplt_epi8(v, letter_a);
    const __m128i digit = _mm_or_si128(
        _mm_and_si128(below_a, _mm_sub_epi8(v, zero_char)),
        _mm_andnot_si128(below_a, _mm_sub_epi8(_mm_and_si128(v, case_bit_off), letter_bias)));
    // Lane j: 16 * digit[j + 1] + digit[j + 2], low 8 bits.
    const __m128i escaped =
        _mm_add_epi8(_mm_and_si128(_mm_slli_epi16(_mm_srli_si128(digit, 1), 4), high_nibble),
                     _mm_srli_si128(digit, 2));
    const __m128i translated =
        _mm_xor_si128(v, _mm_and_si128(_mm_cmpeq_epi8(v, plus), plus_to_blank));
    const __m128i value =
        _mm_or_si128(_mm_and_si128(is_percent, escaped), _mm_andnot_si128(is_percent, translated));

    const unsigned low_keep = keep & 0xFF;
    const unsigned high_keep = (keep >> 8) & 0xFF;
    const __m128i low_shuffle =
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kCompact.index[low_keep]));
    const __m128i high_shuffle = _mm_add_epi8(
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kCompact.index[high_keep])), eight);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + w), _mm_shuffle_epi8(value, low_shuffle));
    w += kCompact.count[low_keep];
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + w), _mm_shuffle_epi8(value, high_shuffle));
    w += kCompact.count[high_keep];
    i += limit;
  }
  return {i, w, 0};
}

// glibc's record of the processor, made once at process start for its own
// string functions: asking the processor again (cpuid, as the constructor
// behind __builtin_cpu_supports does in every process that loads the
// library) traps to the hypervisor on a virtual machine, a cost every CGI
// start would pay.
bool CpuHasSsse3() {
  static const bool kHas = CPU_FEATURE_ACTIVE(SSSE3);
  return kHas;
}
#endif

// The decoder's walk from in[*i] up to `stop` (an escape that starts
// before `stop` is taken whole) of a text of n bytes, writing at *o; the
// output never runs ahead of the input. False when the walk meets a lead
// byte, at which point the text counts as never encoded.
bool DecodeWalk(const uint8_t* in, size_t n, size_t stop, size_t* i, uint8_t** o,
                const DecodeTable& table, bool allow_vector) {
#if defined(QUILLON_VECTOR_DECODE)
  if (allow_vector && CpuHasSsse3()) {
    while (*i < stop && stop - *i >= 16) {
      const BlockProgress done = DecodeBlocks(in + *i, stop - *i, *o);
      *i += done.in;
      *o += done.out;
      const size_t until = *i + done.scalar;
      while (*i < until && *i < n) {
        if (!DecodeStep(in, n, i, o, table)) return false;
      }
    }
  }
#else
  (void)allow_vector;
#endif
  while (*i < stop) {
    if (!DecodeStep(in, n, i, o, table)) return false;
  }
  return true;
}

}  // namespace

namespace internal {

size_t DecodeValueWith(std::string_view text, char* out, const platform::CodePage& cp,
                       bool allow_vector) {
  const size_t n = CStringLength(text);
  const auto* in = reinterpret_cast<const uint8_t*>(text.data());
  auto* o = reinterpret_cast<uint8_t*>(out);
  size_t i = 0;
  if (!DecodeWalk(in, n, n, &i, &o, DecodeTableFor(cp), allow_vector)) {
    // A raw multibyte character: the text was never encoded.
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return n;
  }
  *o = '\0';
  return static_cast<size_t>(o - reinterpret_cast<uint8_t*>(out));
}

}  // namespace internal

size_t DecodeValue(std::string_view text, char* out, const platform::CodePage& cp) {
  return internal::DecodeValueWith(text, out, cp, /*allow_vector=*/true);
}

void AppendDecodedValue(std::string_view text, std::string* out, const platform::CodePage& cp) {
  const size_t n = CStringLength(text);
  const size_t start = out->size();
  // Room for the longest result (the decoded bytes are never more than the
  // text), reserved first: it is the only step that can fail. Pieces are
  // decoded on the stack and appended, so only the pages the result fills
  // are ever touched.
  out->reserve(start + n);
  com::AdviseLargeBuffer(out->data() + start, out->capacity() - start);
  constexpr size_t kPiece = 4096;
  // Vector stores may run up to 8 bytes past what a block produced.
  uint8_t buffer[kPiece + 16];
  const auto* in = reinterpret_cast<const uint8_t*>(text.data());
  const DecodeTable& table = DecodeTableFor(cp);
  size_t i = 0;
  while (i < n) {
    uint8_t* o = buffer;
    if (!DecodeWalk(in, n, std::min(n, i + kPiece), &i, &o, table, /*allow_vector=*/true)) {
      // A raw multibyte character: the text was never encoded.
      out->resize(start);
      out->append(text.data(), n);
      return;
    }
    out->append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(o - buffer));
  }
}

std::string DecodeValue(std::string_view text, const platform::CodePage& cp) {
  std::string out;
  AppendDecodedValue(text, &out, cp);
  return out;
}

void AppendHex(std::string_view bytes, std::string* out) {
  const size_t start = out->size();
  out->resize(start + kHexPrefix.size() + 2 * bytes.size());
  char* o = out->data() + start;
  std::memcpy(o, kHexPrefix.data(), kHexPrefix.size());
  o += kHexPrefix.size();
  for (unsigned char b : bytes) {
    *o++ = kHexDigits[b >> 4];
    *o++ = kHexDigits[b & 0xF];
  }
}

std::string EncodeHex(std::string_view bytes) {
  std::string out;
  AppendHex(bytes, &out);
  return out;
}

std::string DecodeHex(std::string_view text) {
  const size_t n = CStringLength(text);
  std::string out;
  if (n <= kHexPrefix.size()) return out;
  const auto* in = reinterpret_cast<const uint8_t*>(text.data());
  out.reserve((n - kHexPrefix.size() + 1) / 2);
  for (size_t i = kHexPrefix.size(); i < n; i += 2) {
    // An unpaired last digit meets the terminating zero.
    const uint8_t low = i + 1 < n ? in[i + 1] : 0;
    out.push_back(static_cast<char>(EscapeByte(in[i], low)));
  }
  return out;
}

}  // namespace quillon::core
