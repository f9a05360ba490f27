#include "util/kelwchar.h"

#include <cstdio>
#include <cstring>

#include "foundation/svc.h"
#include "foundation/zexception.h"
#include "util/internal/mbwalk.h"

using ornutil::mbwalk::charLength;
using ornutil::mbwalk::StopSet;

const char rejlist[7] = {'*', '?', '(', ')', ':', '\\', '\0'};
const char patrejlist[6] = {'?', '(', ')', ':', '\\', '\0'};

namespace {

const char kModule[] = "util/kelwchar";

// Source lines of the records; callers' log filters and support notes key on
// them, so they stay fixed whatever the layout of this file.
constexpr int kLinePrematureEnd = 448;
constexpr int kLineInvalidHibit = 457;
constexpr int kLineInvalidSingle = 470;
constexpr int kLineThrowTrace = 607;
constexpr int kLineThrow = 608;

bool checkTraceOn() { return orn_svc_debug_level(kelcore_svc_handle, 0) != 0; }

// A trace record about a bad character shows the text from that character
// on, but at most this many bytes of it (then "..."): a text of stray bytes
// gets one record per byte, and whole rests would make the trace of one call
// grow with the square of its length (32 KiB of 0x80 once wrote 540 MB).
constexpr std::size_t kExcerptBytes = 64;

// Stray bytes are traced one record each up to this many per call; the rest
// are counted in one closing record. A record costs some hundreds of
// nanoseconds to format and write, so without the cap a text of stray bytes
// ran at over 1 us a byte with tracing on, several hundred times a clean
// text's cost.
constexpr std::size_t kStrayRecordsPerCall = 16;

struct Excerpt {
  explicit Excerpt(const char* from) {
    std::size_t n = strnlen(from, kExcerptBytes + 1);
    const bool cut = n > kExcerptBytes;
    if (cut) n = kExcerptBytes;
    std::memcpy(text, from, n);
    std::memcpy(text + n, cut ? "..." : "", cut ? 4 : 1);
  }
  char text[kExcerptBytes + 4];
};

}  // namespace

int kel_mbs_validchars_int(char const* text, char const* rejects, int rejectControls) {
  if (!text) return 0;
  const char* end = text + std::strlen(text);
  StopSet stops(rejects, rejectControls != 0);
  for (const char* p = text; (p = stops.find(p, end)) != end;) {
    // Below 0x80 only rejected bytes stop the scan.
    if (static_cast<unsigned char>(*p) < 0x80) return 0;
    int n = charLength(p, static_cast<std::size_t>(end - p));
    if (n == 0) return 0;
    p += n < 0 ? 1 : n;
  }
  return 1;
}

int kel_mbs_validchars2(char const* text, char const* rejects) {
  return kel_mbs_validchars_int(text, rejects, 0);
}

int kel_mbs_validpchars2(char const* text, char const* rejects) {
  return kel_mbs_validchars_int(text, rejects, 1);
}

int kel_mbs_validpchars(char const* text) { return kel_mbs_validchars_int(text, rejlist, 1); }

int kel_mbs_validpatchars(char const* text) {
  return kel_mbs_validchars_int(text, patrejlist, 1);
}

namespace {

// The stray bytes of one call: the first kStrayRecordsPerCall traced as
// they are met, the number of the others in one record when the call ends.
class StrayTrace {
 public:
  void met(const char* p) {
    if (!checkTraceOn()) return;
    if (traced_ == kStrayRecordsPerCall) {
      ++untraced_;
      return;
    }
    ++traced_;
    orn_svc__debug_utf8_withfile(kelcore_svc_handle, kModule, kLineInvalidHibit, 0, 1,
                                 "invalid multibyte hibit-set: %s", Excerpt(p).text);
  }
  ~StrayTrace() {
    if (untraced_ == 0) return;
    char count[24];
    std::snprintf(count, sizeof count, "%zu", untraced_);
    orn_svc__debug_utf8_withfile(kelcore_svc_handle, kModule, kLineInvalidHibit, 0, 1,
                                 "invalid multibyte hibit-set: %s more not traced", count);
  }

 private:
  std::size_t traced_ = 0;
  std::size_t untraced_ = 0;
};

}  // namespace

int kel_mbs_checkchars2(char const* text, char const* allowed) {
  if (!text) return 0;
  std::size_t remaining = std::strlen(text);
  StrayTrace strays;
  for (const char* p = text; *p;) {
    int n = charLength(p, remaining);
    if (n == 0) {
      if (checkTraceOn())
        orn_svc__debug_utf8_withfile(kelcore_svc_handle, kModule, kLinePrematureEnd, 0, 1,
                                     "premature end of string");
      return 0;
    }
    if (n == 1) {
      if (!allowed || !std::strchr(allowed, *p)) {
        if (checkTraceOn())
          orn_svc__debug_utf8_withfile(kelcore_svc_handle, kModule, kLineInvalidSingle, 0, 1,
                                       "invalid single byte character: %s", Excerpt(p).text);
        return 0;
      }
    } else if (n < 0) {
      // A stray byte is reported but not held against the text.
      strays.met(p);
      n = 1;
    }
    p += n;
    remaining -= static_cast<std::size_t>(n);
  }
  return 1;
}

char* kel_mb_strchr(char const* text, int c) {
  // Only a value a char can hold can equal a byte taken as a signed char.
  if (!text || c == 0 || c < -128 || c > 127) return nullptr;
  const char* end = text + std::strlen(text);
  const char wanted[2] = {static_cast<char>(c > 0 ? c : 0), '\0'};
  StopSet stops(wanted, false);
  for (const char* p = text; (p = stops.find(p, end)) != end;) {
    if (static_cast<unsigned char>(*p) < 0x80) return const_cast<char*>(p);
    int n = charLength(p, static_cast<std::size_t>(end - p));
    if (n == 0) return nullptr;
    if (n < 0) {
      if (static_cast<signed char>(*p) == c) return const_cast<char*>(p);
      n = 1;
    }
    p += n;
  }
  return nullptr;
}

int utf8_validchars(char const* text, char const* rejects) {
  if (!text || !*text) return 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (*p < 0x20) return 0;
  }
  if (!rejects) return 1;
  for (const unsigned char* r = reinterpret_cast<const unsigned char*>(rejects); *r; ++r) {
    // The list is meant for single bytes; a byte of a multibyte character
    // could match in the middle of another character, so it is refused
    // rather than half-checked.
    if (*r >= 0x80) {
      if (orn_svc_debug_level(orn_ras_svc_handle, 3) > 8)
        orn_svc__debug_utf8_withfile(orn_ras_svc_handle, kModule, kLineThrowTrace, 3, 9,
                                     "%s Exception thrown. \n", "ZInvalidParameterException");
      ZInvalidParameterException_7_0_0 exception;
      exception.throwException(kModule, kLineThrow);
    }
    if (std::strchr(text, *r)) return 0;
  }
  return 1;
}
