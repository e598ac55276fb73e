// client_exchange.sh: the client's exchange (quillon::client::Client, what
// the control runs) against plain libcurl from C++, in one run, against one
// local server on 127.0.0.1.
//
//   small:  N sequential ProcessSession exchanges with a few small values,
//           the server answering the static "QServerParams:QServerResult=OK";
//           against N POSTs of the same body through libcurl, one easy handle
//           per request (as the client does), getting the same answer.
//   large:  one 32 MiB binary value sent with SetBinaryData and read back
//           with GetBinaryData, the server echoing the pairs as its answer;
//           against libcurl posting the same encoded body and reading the
//           same answer. Target: within 1.3 times libcurl, and the client's
//           peak memory within 3 times the value.
//
// The server is a small blocking HTTP/1.1 server in a child process (one
// connection per request, Connection: close), so both sides pay the same
// server costs and the server's buffers do not count in this process's
// memory. Rounds alternate the two sides; the best round of each is
// reported beside the median ratio. Peak memory is the growth of this
// process's resident set (VmHWM, reset before each round) over what it held
// before the round, the value itself already included.
//
// Usage: bench_client_exchange [exchanges] [rounds] [large-MiB]
#include <arpa/inet.h>
#include <curl/curl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "quillon/client/client.h"

namespace {

constexpr std::string_view kStaticAnswer = "QServerParams:QServerResult=OK";

// --- The server --------------------------------------------------------------------

bool ReadSome(int fd, std::string* into) {
  char buffer[1 << 16];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n <= 0) return false;
  into->append(buffer, static_cast<size_t>(n));
  return true;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Serves one request on `fd`: "/static" answers kStaticAnswer, "/echo"
// returns the body as it came, "/pairs" returns it as a session answer.
void Serve(int fd) {
  std::string request;
  size_t header_end;
  while ((header_end = request.find("\r\n\r\n")) == std::string::npos) {
    if (!ReadSome(fd, &request)) return;
  }
  size_t length = 0;
  std::string head = request.substr(0, header_end);
  for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (size_t at = head.find("\r\ncontent-length:"); at != std::string::npos) {
    length = std::strtoull(head.c_str() + at + 17, nullptr, 10);
  }
  const size_t body_at = header_end + 4;
  request.reserve(body_at + length);
  while (request.size() < body_at + length) {
    if (!ReadSome(fd, &request)) return;
  }
  std::string_view body(request.data() + body_at, length);
  std::string answer;
  std::string_view payload;
  if (head.find(" /echo ") != std::string::npos) {
    payload = body;
  } else if (head.find(" /pairs ") != std::string::npos) {
    answer.reserve(body.size() + 40);
    answer.append("QServerParams:").append(body).append("&QServerResult=OK");
    payload = answer;
  } else {
    payload = kStaticAnswer;
  }
  const std::string header = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                             std::to_string(payload.size()) + "\r\nConnection: close\r\n\r\n";
  if (payload.size() < 4096) {
    WriteAll(fd, header + std::string(payload));
  } else if (WriteAll(fd, header)) {
    WriteAll(fd, payload);
  }
}

class Server {
 public:
  Server() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 64) != 0) {
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    socklen_t size = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    child_ = fork();
    if (child_ < 0) throw std::runtime_error("cannot start the server process");
    if (child_ == 0) {
      // The server ends with its parent, however that ends.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() == 1) _exit(0);
      for (;;) {
        const int fd = accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Serve(fd);
        shutdown(fd, SHUT_WR);
        close(fd);
      }
    }
    close(listener_);
  }
  ~Server() {
    kill(child_, SIGTERM);
    waitpid(child_, nullptr, 0);
  }
  int port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  pid_t child_ = -1;
};

// This process's resident set now and its peak since the last reset, in
// bytes (from /proc/self/status).
size_t StatusBytes(const char* key) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(key, 0) == 0) return std::strtoull(line.c_str() + std::strlen(key), nullptr, 10) << 10;
  }
  return 0;
}

// Peak resident growth over a stretch of code.
class PeakMemory {
 public:
  PeakMemory() {
    // Freed heap left resident by the previous round would count as the
    // baseline, and a side that trims its heap would then seem to use less
    // than it does.
    malloc_trim(0);
    // Writing 5 resets the peak (VmHWM) to the current resident set.
    std::ofstream("/proc/self/clear_refs") << "5";
    before_ = StatusBytes("VmRSS:");
  }
  size_t Growth() const {
    const size_t peak = StatusBytes("VmHWM:");
    return peak > before_ ? peak - before_ : 0;
  }

 private:
  size_t before_;
};

// --- The two clients ----------------------------------------------------------------

size_t Collect(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// One POST through libcurl, one easy handle, as a plain C++ program would
// write it (Expect: turned off, or libcurl waits for a 100 Continue).
std::string CurlPost(const std::string& url, std::string_view body) {
  CURL* curl = curl_easy_init();
  if (curl == nullptr) throw std::runtime_error("curl_easy_init");
  curl_slist* headers = curl_slist_append(nullptr, "Expect:");
  std::string answer;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  const CURLcode code = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  if (code != CURLE_OK || status != 200) {
    throw std::runtime_error(std::string("libcurl POST failed: ") + curl_easy_strerror(code));
  }
  return answer;
}

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

quillon::client::Client NewClient(int port, const char* page) {
  quillon::client::Client client;
  client.SetServerName("127.0.0.1");
  client.SetPortNo(static_cast<int16_t>(port));
  client.SetAppName(page);
  return client;
}

// A few small values, as a form would send them.
void SetSmallValues(quillon::client::Client* client) {
  client->ResetContents();
  client->SetStringData("UserName", "Taro Yamada");
  client->SetStringData("City", "Tokyo");
  client->SetStringData("Count", "42");
}

double ClientSmall(int port, int exchanges) {
  auto client = NewClient(port, "/static");
  const auto start = Clock::now();
  for (int i = 0; i < exchanges; ++i) {
    SetSmallValues(&client);
    if (client.ProcessSession() != "OK") throw std::runtime_error("client: unexpected result");
  }
  return Seconds(start);
}

double CurlSmall(int port, int exchanges, std::string_view body) {
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/static";
  const auto start = Clock::now();
  for (int i = 0; i < exchanges; ++i) {
    if (CurlPost(url, body) != kStaticAnswer) throw std::runtime_error("curl: unexpected answer");
  }
  return Seconds(start);
}

// Where the client's time goes: encoding the value, the exchange (sending,
// receiving, splitting the answer), decoding the value read back. And its
// memory once the value is set: the copy the list keeps, and whatever the
// MIME detection of the value left resident.
struct LargeSteps {
  double set = 0, exchange = 0, get = 0;
  size_t set_growth = 0;
};

double ClientLarge(int port, const std::string& bytes, LargeSteps* steps, size_t* peak) {
  PeakMemory memory;
  auto client = NewClient(port, "/pairs");
  const auto start = Clock::now();
  client.ResetContents();
  client.SetBinaryData("Blob", bytes);
  const auto sent = Clock::now();
  steps->set_growth = memory.Growth();
  if (client.ProcessSession() != "OK") throw std::runtime_error("client: unexpected result");
  const auto answered = Clock::now();
  const std::string back = client.GetBinaryData("Blob", 0);
  const double seconds = Seconds(start);
  *peak = memory.Growth();
  steps->set = std::chrono::duration<double>(sent - start).count();
  steps->exchange = std::chrono::duration<double>(answered - sent).count();
  steps->get = seconds - steps->set - steps->exchange;
  if (back != bytes) throw std::runtime_error("client: the value came back changed");
  return seconds;
}

// The peer: the client's own request body posted as it is, the same
// session answer read back.
double CurlLarge(int port, const std::string& body, size_t* peak) {
  PeakMemory memory;
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/pairs";
  const auto start = Clock::now();
  const std::string back = CurlPost(url, body);
  const double seconds = Seconds(start);
  *peak = memory.Growth();
  if (back.size() != body.size() + 31 || back.compare(14, body.size(), body) != 0) {
    throw std::runtime_error("curl: the answer is not the session text expected");
  }
  return seconds;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const int exchanges = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const size_t large = (argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 32) << 20;
  try {
    // Started before anything else, so that the server process inherits
    // nothing large.
    Server server;
    const int port = server.port();
    curl_global_init(CURL_GLOBAL_DEFAULT);

    // The body the client sends for the small values, posted as-is by libcurl.
    std::string small_body;
    {
      auto client = NewClient(port, "/static");
      SetSmallValues(&client);
      small_body = client.store().RequestBody();
    }
    // Warm both paths (connections, first allocations).
    ClientSmall(port, 20);
    CurlSmall(port, 20, small_body);

    std::vector<double> client_s, curl_s, ratios;
    for (int r = 0; r < rounds; ++r) {
      curl_s.push_back(CurlSmall(port, exchanges, small_body));
      client_s.push_back(ClientSmall(port, exchanges));
      ratios.push_back(client_s.back() / curl_s.back());
      std::printf("small round %d: client %.1f ms, libcurl %.1f ms, ratio %.2fx\n", r + 1,
                  client_s.back() * 1e3, curl_s.back() * 1e3, ratios.back());
    }
    if (exchanges > 0) {
      const double best_client = *std::min_element(client_s.begin(), client_s.end());
      const double best_curl = *std::min_element(curl_s.begin(), curl_s.end());
      std::printf(
          "%d small exchanges (%zu-byte body): client %.1f ms (%.1f us each), libcurl %.1f ms "
          "(%.1f us each); median ratio %.2fx, best rounds %.2fx (target <= 1.1x)\n",
          exchanges, small_body.size(), best_client * 1e3, best_client * 1e6 / exchanges,
          best_curl * 1e3, best_curl * 1e6 / exchanges, Median(ratios), best_client / best_curl);
    }

    // Random bytes: every value a byte can have, as in a binary file.
    std::string bytes(large, '\0');
    std::mt19937_64 random(12345);
    for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
      const uint64_t word = random();
      std::memcpy(&bytes[i], &word, 8);
    }
    std::string wire;
    {
      auto client = NewClient(port, "/pairs");
      client.SetBinaryData("Blob", bytes);
      wire = client.store().RequestBody();
    }
    const double mib = 1048576.0;
    std::vector<double> client_l, curl_l, ratios_l;
    size_t client_peak = 0, curl_peak = 0;
    for (int r = 0; r < rounds; ++r) {
      size_t peak = 0;
      curl_l.push_back(CurlLarge(port, wire, &peak));
      curl_peak = std::max(curl_peak, peak);
      LargeSteps steps;
      client_l.push_back(ClientLarge(port, bytes, &steps, &peak));
      client_peak = std::max(client_peak, peak);
      ratios_l.push_back(client_l.back() / curl_l.back());
      std::printf(
          "large round %d: client %.1f ms (SetBinaryData %.1f, ProcessSession %.1f, "
          "GetBinaryData %.1f; +%.2f MiB after SetBinaryData, peak +%.2f MiB), libcurl %.1f ms, "
          "ratio %.2fx\n",
          r + 1, client_l.back() * 1e3, steps.set * 1e3, steps.exchange * 1e3, steps.get * 1e3,
          steps.set_growth / mib, peak / mib, curl_l.back() * 1e3, ratios_l.back());
    }
    const double best_client_l = *std::min_element(client_l.begin(), client_l.end());
    const double best_curl_l = *std::min_element(curl_l.begin(), curl_l.end());
    std::printf(
        "one %zu MiB binary value sent and returned (request body %.1f MiB encoded): "
        "client %.1f ms, libcurl with the same body %.1f ms; median ratio %.2fx, best rounds "
        "%.2fx (target <= 1.3x)\n",
        large >> 20, wire.size() / mib, best_client_l * 1e3, best_curl_l * 1e3,
        Median(ratios_l), best_client_l / best_curl_l);
    std::printf(
        "peak memory over the round: client +%.0f MiB = %.2fx the value (target <= 3x), "
        "libcurl +%.0f MiB\n",
        client_peak / mib, client_peak / static_cast<double>(large), curl_peak / mib);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_client_exchange: %s\n", e.what());
    return 1;
  }
  curl_global_cleanup();
  return 0;
}
