#include "server/response.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "quillon/component/variant.h"
#include "quillon/core/encoding.h"
#include "quillon/server/cgi_io.h"
#include "quillon/server/invalid_header.h"
#include "quillon/serving/header_field.h"
#include "server/session_signing.h"

namespace quillon::server {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr char kWeekdays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr int64_t kSecondsPerDay = 86400;

struct CivilTime {
  int64_t year;
  int month, day, hour, minute, second, weekday;
};

CivilTime CivilFromSeconds(int64_t seconds) {
  namespace chrono = std::chrono;
  const chrono::sys_seconds time{chrono::seconds{seconds}};
  const auto day = chrono::floor<chrono::days>(time);
  const chrono::year_month_day ymd{day};
  const chrono::hh_mm_ss clock{time - day};
  return CivilTime{static_cast<int>(ymd.year()),
                   static_cast<int>(unsigned{ymd.month()}),
                   static_cast<int>(unsigned{ymd.day()}),
                   static_cast<int>(clock.hours().count()),
                   static_cast<int>(clock.minutes().count()),
                   static_cast<int>(clock.seconds().count()),
                   static_cast<int>(chrono::weekday{day}.c_encoding())};
}

// The date in GMT: its calendar parts read as the zone's clock at that
// date, daylight saving included.
CivilTime ToGmt(com::DATE local) {
  com::DateParts p{};
  if (!std::isfinite(local) || !com::DateToParts(local, &p)) {
    p = com::DateParts{1899, 12, 30, 0, 0, 0};
  }
  std::tm parts{};
  parts.tm_year = p.year - 1900;
  parts.tm_mon = p.month - 1;
  parts.tm_mday = p.day;
  parts.tm_hour = p.hour;
  parts.tm_min = p.minute;
  parts.tm_sec = p.second;
  parts.tm_isdst = -1;  // the zone's rules decide
  tzset();
  errno = 0;
  const std::time_t gmt = std::mktime(&parts);
  if (gmt != static_cast<std::time_t>(-1) || errno == 0) return CivilFromSeconds(gmt);
  const std::chrono::sys_days day = std::chrono::year{p.year} /
                                    static_cast<int>(p.month) / static_cast<int>(p.day);
  const int64_t seconds = int64_t{day.time_since_epoch().count()} * kSecondsPerDay +
                          p.hour * 3600 + p.minute * 60 + p.second;
  return CivilFromSeconds(seconds + StandardBiasSeconds());
}

std::string FormatGmt(com::DATE local, char date_separator, const char* tail) {
  const CivilTime t = ToGmt(local);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d%c%s%c%04lld %02d:%02d:%02d GMT%s", kWeekdays[t.weekday],
                t.day, date_separator, kMonths[t.month - 1], date_separator,
                static_cast<long long>(t.year), t.hour, t.minute, t.second, tail);
  return text;
}

// `encoded`: the cookie value as it goes out.
std::string CookieLineEncoded(std::string_view name, std::string_view encoded,
                              std::optional<com::DATE> expires) {
  std::string line = "Set-Cookie: ";
  line.append(name);
  line.push_back('=');
  line.append(encoded);
  line.append("; ");
  if (expires) line.append("expires=" + FormatCookieDate(*expires));
  line.append(" path=/");
  return line;
}

std::string CookieLine(std::string_view name, std::string_view value,
                       std::optional<com::DATE> expires) {
  return CookieLineEncoded(name, core::EncodeText(value), expires);
}

}  // namespace

void CheckHeaderText(std::string_view text) {
  size_t pos = text.find_first_of("\r\n");
  while (pos != std::string_view::npos) {
    // One line end: CR LF, or a lone CR or LF.
    pos += text.compare(pos, 2, "\r\n") == 0 ? 2 : 1;
    const size_t name_end = text.find_first_of(":\r\n", pos);
    if (name_end == std::string_view::npos || text[name_end] != ':' ||
        !serving::IsHttpToken(text.substr(pos, name_end - pos))) {
      throw InvalidHeaderText(
          "header text holds a line end that is not followed by a header field (name and "
          "colon); it would end the header block or inject other text");
    }
    pos = text.find_first_of("\r\n", name_end);
  }
}

bool IsCookieNameToken(std::string_view name) { return serving::IsHttpToken(name); }

std::string FormatCookieDate(com::DATE local) { return FormatGmt(local, '-', "; "); }

std::string FormatExpiresDate(com::DATE local) { return FormatGmt(local, ' ', ""); }

com::DATE CurrentLocalDate() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  localtime_r(&now, &parts);
  com::DATE date = 0;
  com::PartsToDate(com::DateParts{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                                  parts.tm_hour, parts.tm_min, parts.tm_sec},
                   &date);
  return date;
}

int64_t StandardBiasSeconds() {
  // `timezone` is the zone's standard offset west of GMT whatever the date:
  // only the fallback for dates the C library cannot place.
  tzset();
  return static_cast<int64_t>(timezone);
}

namespace {

// A serving loop answers request after request with pages of much the same
// size. Each body used to grow from nothing and go back to the C library at
// the end, which hands memory past its trim threshold back to the system:
// the next page then faulted its body in again, page by page (about 30
// faults for a 90 KB page). The memory of one body is kept per thread
// instead, up to this size.
constexpr size_t kKeptBodyBytes = size_t{4} << 20;

struct SpareBody {
  std::string text;
  ~SpareBody();
};
// Trivially destroyed, so it can still be read once the spare is gone at
// the thread's end (a response held by a static goes after that).
thread_local bool spare_gone = false;
thread_local SpareBody spare;
SpareBody::~SpareBody() { spare_gone = true; }

}  // namespace

Response::Response() {
  if (!spare_gone) text_body_.swap(spare.text);
}

Response::~Response() {
  if (spare_gone || text_body_.capacity() > kKeptBodyBytes ||
      text_body_.capacity() <= spare.text.capacity()) {
    return;
  }
  text_body_.clear();
  spare.text.swap(text_body_);
}

void Response::AppendText(std::string_view text) {
  has_text_body_ = true;
  text_body_.append(text);
}

void Response::NewLine() {
  // The first line is begun by whatever comes first, a new line included.
  if (has_text_body_) text_body_.append(kLineEnd);
  has_text_body_ = true;
}

void Response::AddHeader(std::string_view line) {
  CheckHeaderText(line);
  header_lines_.emplace_back(line);
}

namespace {

void RefuseLineEnds(std::string_view name) {
  if (name.find_first_of("\r\n") != std::string_view::npos) {
    throw InvalidHeaderText("a cookie or session variable name may not hold CR or LF");
  }
}

}  // namespace

void Response::SetCookie(std::string_view name, std::string_view value,
                         std::optional<com::DATE> expires) {
  RefuseLineEnds(name);
  header_lines_.push_back(CookieLine(name, value, expires));
}

std::string Response::SessionVariable(std::string_view name, const platform::CodePage& cp) const {
  const std::string key = cp.ToUpper(name);
  for (const auto& [variable, value] : session_variables_) {
    if (cp.ToUpper(variable) == key) return value;
  }
  return std::string();
}

void Response::SetSessionVariable(std::string_view name, std::string_view value) {
  RefuseLineEnds(name);
  for (size_t i = 0; i < session_variables_.size(); ++i) {
    if (session_variables_[i].first == name) {
      session_variables_[i].second.assign(value);
      // Written by the page: issued anew.
      issued_[i] = 0;
      return;
    }
  }
  ReserveSessionVariables(1);
  session_variables_.emplace_back(std::string(name), std::string(value));
  from_request_.push_back(false);
  issued_.push_back(0);
}

void Response::AddSessionVariables(std::vector<RequestVariable> variables) {
  ReserveSessionVariables(variables.size());
  for (auto& variable : variables) {
    session_variables_.emplace_back(std::move(variable.name), std::move(variable.value));
    from_request_.push_back(true);
    issued_.push_back(variable.issued);
  }
}

std::string Response::HeaderText(std::string_view content_type, bool with_session_cookies,
                                 bool close_connection) const {
  std::string text = "Content-Type: ";
  text.append(content_type);
  text.append(kLineEnd);
  for (const std::string& line : header_lines_) {
    text.append(line);
    text.append(kLineEnd);
  }
  if (with_session_cookies) {
    // Every variable goes back, changed or not, as a cookie without expiry
    // - except those whose names the visitor made up as no cookie name.
    for (size_t i = 0; i < session_variables_.size(); ++i) {
      const auto& [name, value] = session_variables_[i];
      const std::string cookie = std::string(kSessionCookiePrefix) + name;
      if (from_request_[i] && !IsCookieNameToken(cookie)) continue;
      std::string encoded = core::EncodeText(value);
      if (signing_.key.empty()) {
        text.append(CookieLineEncoded(cookie, encoded, std::nullopt));
      } else {
        const int64_t issued = issued_[i] != 0 ? issued_[i] : signing_.now;
        encoded.append(SessionTag(signing_.key, cookie, encoded, issued));
        text.append(CookieLineEncoded(cookie, encoded, std::nullopt));
        // Script has no business with a signed session, and another site's
        // page must not post with it.
        text.append(signing_.secure ? "; HttpOnly; SameSite=Lax; Secure" : "; HttpOnly; SameSite=Lax");
      }
      text.append(kLineEnd);
    }
  }
  if (close_connection) text.append("Connection: close\r\n");
  return text;
}

std::string Response::TextBody() const {
  if (!has_text_body_) return std::string();
  std::string text;
  text.reserve(text_body_.size() + kLineEnd.size());
  text.append(text_body_);
  text.append(kLineEnd);
  return text;
}

bool Response::Write(CgiIo& io, std::string_view content_type,
                     std::string_view session_text) const {
  std::string head = HeaderText(content_type, true, io.ClosesConnection());
  head.append(kLineEnd);
  if (!io.WriteOutput(head)) return false;
  bool written;
  if (binary_body_) {
    written = io.WriteOutput(*binary_body_);
  } else if (has_text_body_) {
    written = io.WriteOutput(text_body_) && io.WriteOutput(kLineEnd);
  } else {
    written = io.WriteOutput(session_text);
  }
  return written && io.FlushOutput();
}

}  // namespace quillon::server
