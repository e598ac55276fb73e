// The client's reading of a session answer as it arrives: the text up to
// its first zero byte, the pairs after the first "QServerParams:", and
// large values decoded on the way instead of held encoded.
//
// A binary value travels as up to three characters a byte. Held whole, a
// large answer costs its encoded text and then the decoded copy a script
// asks for. The reader follows the pair walk of SplitPairs (pairs.h) as
// the pieces come, and a value run still open at the end of a piece after
// kDecodeFrom characters is decoded piece by piece into bytes, leaving a
// one-character placeholder in the text. Only a run that encoding its
// bytes gives back exactly is kept that way; a run that turns out
// otherwise (a multibyte text, an escape in lower case, a cut-short escape
// at its end) is put back as it came and read as before. So every
// accessor, and every text made of the incoming list, sees the same bytes
// as if the answer had been read whole.
//
// Errors: std::bad_alloc only.
#ifndef QUILLON_CORE_SESSION_ANSWER_H_
#define QUILLON_CORE_SESSION_ANSWER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/core/data_store.h"

namespace quillon::core {

class SessionAnswerReader {
 public:
  static constexpr size_t kDecodeFrom = 64 * 1024;

  // `decode_from` other than kDecodeFrom is for tests.
  explicit SessionAnswerReader(size_t decode_from = kDecodeFrom) : decode_from_(decode_from) {}

  // The answer's announced length (-1: none), before the first piece: a
  // decoded value gets its room once, not at every doubling.
  void Announce(int64_t length) { announced_ = length; }
  // Takes the next piece of the answer.
  void Append(std::string_view piece);
  // After the last piece.
  void Finish();

  // Whether the marker was found (after Finish).
  bool has_pairs() const { return pairs_at_ != std::string::npos; }
  // The answer's text up to its first zero byte: what the page sent, for
  // an answer without the marker (with it, decoded values are missing).
  const std::string& text() const { return text_; }
  // How many values are kept as bytes (for tests and diagnostics).
  size_t kept_count() const { return kept_.size(); }

  // Replaces `store`'s incoming list with the answer's pairs (names kept
  // as received). Needs has_pairs(); the reader is spent afterwards.
  void MoveInto(NamedValues* store);

 private:
  // Where the pair walk stands (see SplitPairs): before a name, in it,
  // just past the separator that ended it, skipping before a value, in it.
  enum class Walk { kBeforeName, kName, kAfterName, kBeforeValue, kValue };

  void Scan();
  void StartDecoding();
  // Decodes what of `run` (the value's next characters) is sure to be
  // whole escapes; false when it is not the encoding of its bytes.
  bool DecodeSome(std::string_view run, bool at_end);
  void Feed(std::string_view run);
  void EndDecoding();
  // Puts the decoded value back into the text as the characters it came as.
  void PutBack(std::string_view rest);

  size_t decode_from_;
  std::string text_;
  int64_t announced_ = -1;
  uint64_t received_ = 0;  // bytes given to Append
  bool zero_seen_ = false;
  size_t marker_from_ = 0;  // where the marker search goes on
  size_t pairs_at_ = std::string::npos;
  size_t scan_ = 0;  // the walk has seen text_ up to here
  Walk walk_ = Walk::kBeforeName;
  size_t run_start_ = 0;    // of the current value run
  bool run_plain_ = false;  // the run stays text
  bool decoding_ = false;   // the current run goes to kept_.back()
  std::string pending_;     // characters of it not decoded yet
  std::string scratch_;     // decoded and re-encoded pieces
  std::vector<NamedValues::KeptValue> kept_;
};

}  // namespace quillon::core

#endif  // QUILLON_CORE_SESSION_ANSWER_H_
