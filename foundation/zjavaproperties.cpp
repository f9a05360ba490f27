#include "foundation/zjavaproperties.h"

#include <new>

#include <cstdlib>

#include "foundation/internal/fileread.h"
#include "foundation/internal/memoryrule.h"
#include "foundation/zexception.h"

namespace {

const char kModule[] = "foundation/zjavaproperties";

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\f'; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void appendUtf8(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Joins continued lines: a line ending in an odd number of backslashes goes
// on with the next line, whose leading blanks are dropped.
std::string logicalLine(const std::string& text, std::size_t& pos) {
  std::string line;
  bool firstPiece = true;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::size_t stop = end;
    if (stop > pos && text[stop - 1] == '\r') --stop;
    std::string piece = text.substr(pos, stop - pos);
    pos = end + 1;
    // A comment line ends where it ends: its trailing backslash is text, so
    // commenting out a continued entry does not swallow the next entry.
    if (firstPiece) {
      firstPiece = false;
      std::size_t first = 0;
      while (first < piece.size() && isSpace(piece[first])) ++first;
      if (first < piece.size() && (piece[first] == '#' || piece[first] == '!')) return piece;
    }
    std::size_t backslashes = 0;
    while (backslashes < piece.size() && piece[piece.size() - 1 - backslashes] == '\\') ++backslashes;
    if (backslashes % 2 == 1) {
      line += piece.substr(0, piece.size() - 1);
      while (pos < text.size() && isSpace(text[pos])) ++pos;
      continue;
    }
    line += piece;
    break;
  }
  return line;
}

std::string unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    switch (c) {
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 'f': out += '\f'; break;
      case 'u': {
        unsigned cp = 0;
        bool ok = true;
        for (int k = 1; ok && k <= 4; ++k) {
          int h = i + k < s.size() ? hexValue(s[i + k]) : -1;
          if (h < 0) ok = false;
          else cp = cp * 16 + static_cast<unsigned>(h);
        }
        if (ok) {
          appendUtf8(out, cp);
          i += 4;
        } else {
          out += 'u';
        }
        break;
      }
      default: out += c;
    }
  }
  return out;
}

}  // namespace

ZJavaProperties_7_0_0::ZJavaProperties_7_0_0() = default;
ZJavaProperties_7_0_0::~ZJavaProperties_7_0_0() = default;

void ZJavaProperties_7_0_0::parse(const std::string& text) {
  // Parsed aside and swapped in: exhausted memory leaves what was held.
  decltype(values_) parsed;
  ornz::reportingMemory(kModule, __LINE__, [&] {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::string line = logicalLine(text, pos);
    std::size_t i = 0;
    while (i < line.size() && isSpace(line[i])) ++i;
    if (i == line.size() || line[i] == '#' || line[i] == '!') continue;
    std::size_t keyStart = i;
    while (i < line.size() && !isSpace(line[i]) && line[i] != '=' && line[i] != ':') {
      if (line[i] == '\\') ++i;
      ++i;
    }
    std::string key = unescape(line.substr(keyStart, (i < line.size() ? i : line.size()) - keyStart));
    while (i < line.size() && isSpace(line[i])) ++i;
    if (i < line.size() && (line[i] == '=' || line[i] == ':')) ++i;
    while (i < line.size() && isSpace(line[i])) ++i;
    parsed[key] = unescape(i < line.size() ? line.substr(i) : std::string());
  }
  });
  values_.swap(parsed);
}

int ZJavaProperties_7_0_0::load(const char* fileName, const char* requiredKey) {
  if (!fileName) {
    values_.clear();
    return 0;
  }
  // Read and parsed before anything is dropped: exhausted memory leaves the
  // object as it was.
  std::string text;
  try {
    text = ornz::reportingMemory(kModule, __LINE__, [&] { return ornz::readWholeFile(fileName); });
  } catch (ZOutOfMemoryException_7_0_0&) {
    throw;
  } catch (ZException_7_0_0&) {
    values_.clear();
    return 0;
  }
  parse(text);
  if (requiredKey && !exists(requiredKey)) {
    values_.clear();
    return 0;
  }
  return 1;
}

int ZJavaProperties_7_0_0::getValue(const char* key, ZAbstractMutableString_7_0_0& value) const {
  auto it = key ? ornz::reportingMemory(kModule, __LINE__, [&] { return values_.find(key); }) : values_.end();
  if (it == values_.end()) {
    value.clear();
    return 0;
  }
  value.assign(it->second.data(), it->second.size());
  return 1;
}

bool ZJavaProperties_7_0_0::exists(const char* key) const {
  return key && ornz::reportingMemory(kModule, __LINE__, [&] { return values_.count(key) > 0; });
}
