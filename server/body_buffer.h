// Memory for a request body: anonymous pages that grow without copying
// (mremap), taken as transparent huge pages where the system allows it, so
// that filling a large upload costs a few page faults instead of one per
// 4 KiB. Nothing is zero-filled: the reader writes every byte it keeps.
#ifndef QUILLON_SERVER_BODY_BUFFER_H_
#define QUILLON_SERVER_BODY_BUFFER_H_

#include <cstddef>

namespace quillon::server {

class BodyBuffer {
 public:
  BodyBuffer() = default;
  ~BodyBuffer();
  BodyBuffer(const BodyBuffer&) = delete;
  BodyBuffer& operator=(const BodyBuffer&) = delete;

  // Room for at least `capacity` bytes; what the buffer holds stays where
  // it is relative to data() (which may move). Throws std::bad_alloc when
  // the system has no memory for it.
  void Reserve(size_t capacity);

  char* data() { return data_; }
  const char* data() const { return data_; }
  size_t capacity() const { return capacity_; }

 private:
  char* data_ = nullptr;
  size_t capacity_ = 0;
};

}  // namespace quillon::server

#endif  // QUILLON_SERVER_BODY_BUFFER_H_
