#include "quillon/core/session_answer.h"

#include <algorithm>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quillon/core/encoding.h"

namespace quillon::core {
namespace {

constexpr std::string_view kMarker = "QServerParams:";

constexpr bool IsSeparator(char c) { return c == '=' || c == '&' || c == '?'; }

// The first '=', '&' or '?' in `text`: a value's end, looked for in every
// piece of a large value, so sixteen bytes at a time.
size_t FindSeparator(std::string_view text) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i equals = _mm_set1_epi8('='), amp = _mm_set1_epi8('&'), ask = _mm_set1_epi8('?');
  for (; text.size() - i >= 16; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    const int hits = _mm_movemask_epi8(_mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, equals), _mm_cmpeq_epi8(v, amp)), _mm_cmpeq_epi8(v, ask)));
    if (hits != 0) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
  }
#endif
  for (; i < text.size(); ++i) {
    if (IsSeparator(text[i])) return i;
  }
  return std::string_view::npos;
}

// Whether `encoded` is exactly what encoding `bytes` gives.
bool EncodesTo(std::string_view bytes, std::string_view encoded) {
  char buffer[4096];
  size_t at = 0;
  while (!bytes.empty()) {
    size_t consumed = 0;
    const size_t n = EncodeValuePiece(bytes, buffer, sizeof buffer, &consumed);
    if (n > encoded.size() - at || std::memcmp(buffer, encoded.data() + at, n) != 0) return false;
    at += n;
    bytes.remove_prefix(consumed);
  }
  return at == encoded.size();
}

}  // namespace

void SessionAnswerReader::Append(std::string_view piece) {
  received_ += piece.size();
  if (zero_seen_ || piece.empty()) return;
  // The answer is a text: it ends at its first zero byte.
  if (const void* zero = std::memchr(piece.data(), 0, piece.size())) {
    piece = piece.substr(0, static_cast<size_t>(static_cast<const char*>(zero) - piece.data()));
    zero_seen_ = true;
  }
  if (decoding_) {
    const size_t end = FindSeparator(piece);
    Feed(piece.substr(0, end));
    if (end == std::string_view::npos) return;
    piece.remove_prefix(end);
    if (decoding_) EndDecoding();
  }
  text_.append(piece);
  if (pairs_at_ == std::string::npos) {
    const size_t at = text_.find(kMarker, marker_from_);
    if (at == std::string::npos) {
      // The marker may yet straddle this piece and the next.
      marker_from_ = text_.size() >= kMarker.size() ? text_.size() - kMarker.size() + 1 : 0;
      return;
    }
    pairs_at_ = at + kMarker.size();
    scan_ = pairs_at_;
  }
  Scan();
}

void SessionAnswerReader::Scan() {
  const char* t = text_.data();
  const size_t n = text_.size();
  for (size_t i = scan_; i < n; ++i) {
    const char c = t[i];
    switch (walk_) {
      case Walk::kBeforeName:
        if (!IsSeparator(c)) walk_ = Walk::kName;
        break;
      case Walk::kName:
        if (IsSeparator(c)) walk_ = Walk::kAfterName;
        break;
      case Walk::kAfterName:
      case Walk::kBeforeValue:
        // After a name only the next character decides: '&' or '?' mean
        // no value, '=' (and, once skipping, '&') is skipped.
        if (c == '?' || (c == '&' && walk_ == Walk::kAfterName)) {
          walk_ = Walk::kBeforeName;
        } else if (c == '=' || c == '&') {
          walk_ = Walk::kBeforeValue;
        } else {
          walk_ = Walk::kValue;
          run_start_ = i;
          run_plain_ = false;
        }
        break;
      case Walk::kValue: {
        const size_t end = FindSeparator(std::string_view(t + i, n - i));
        if (end == std::string_view::npos) {
          i = n;
        } else {
          i += end;
          walk_ = Walk::kBeforeName;
        }
        break;
      }
    }
  }
  scan_ = n;
  if (walk_ == Walk::kValue && !run_plain_ && n - run_start_ >= decode_from_) StartDecoding();
}

void SessionAnswerReader::StartDecoding() {
  kept_.push_back(NamedValues::KeptValue{run_start_, {}});
  // The value cannot decode to more bytes than the characters still to
  // come; believed only up to a bound, as the transport does.
  if (announced_ > 0 && static_cast<uint64_t>(announced_) > received_) {
    constexpr uint64_t kMostReserved = uint64_t{1} << 30;
    const uint64_t rest = static_cast<uint64_t>(announced_) - received_;
    kept_.back().bytes.reserve(
        static_cast<size_t>(std::min(rest + (text_.size() - run_start_), kMostReserved)));
  }
  if (!DecodeSome(std::string_view(text_).substr(run_start_), /*at_end=*/false)) {
    kept_.pop_back();
    run_plain_ = true;
    return;
  }
  // The placeholder is a run of its own between the same separators, so
  // the walk meets it where it met the value.
  text_.resize(run_start_);
  text_.push_back('0');
  scan_ = text_.size();
  decoding_ = true;
}

bool SessionAnswerReader::DecodeSome(std::string_view run, bool at_end) {
  size_t cut = run.size();
  if (!at_end) {
    // An escape the run cuts short waits for its digits.
    if (cut >= 1 && run[cut - 1] == '%') {
      cut -= 1;
    } else if (cut >= 2 && run[cut - 2] == '%') {
      cut -= 2;
    }
  }
  const std::string_view part = run.substr(0, cut);
  scratch_.clear();
  AppendDecodedValue(part, &scratch_);
  if (!EncodesTo(scratch_, part)) return false;
  kept_.back().bytes.append(scratch_);
  pending_.assign(run.substr(cut));
  return true;
}

void SessionAnswerReader::Feed(std::string_view run) {
  if (run.empty()) return;
  std::string joined;
  joined.reserve(pending_.size() + run.size());
  joined.append(pending_).append(run);
  if (!DecodeSome(joined, /*at_end=*/false)) PutBack(joined);
}

void SessionAnswerReader::EndDecoding() {
  const std::string rest = pending_;
  if (!DecodeSome(rest, /*at_end=*/true)) {
    PutBack(rest);
    return;
  }
  decoding_ = false;
  pending_.clear();
}

void SessionAnswerReader::PutBack(std::string_view rest) {
  // What was decoded was its own encoding, so encoding it again gives the
  // characters as they came.
  text_.resize(kept_.back().at);
  AppendEncodedValue(kept_.back().bytes, &text_);
  text_.append(rest);
  kept_.pop_back();
  decoding_ = false;
  run_plain_ = true;
  pending_.clear();
  scan_ = text_.size();
}

void SessionAnswerReader::Finish() {
  if (decoding_) EndDecoding();
}

void SessionAnswerReader::MoveInto(NamedValues* store) {
  store->TakeIncomingFrom(std::move(text_), pairs_at_, /*decode_names=*/false, std::move(kept_));
  text_.clear();
  kept_.clear();
}

}  // namespace quillon::core
