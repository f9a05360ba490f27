// The flat layout of an attribute list inside a name/value tree: its key
// suffixes and the attribute names it cannot hold. Owned by the attribute
// list; the typed object writes and reads the layout, the trace renderer
// recognises it.
//
// Under a prefix P (the empty text in the nested form) a list is kept as
//   P + "attrlistnames"                the attribute names, in list order
//   P + N                              the values of attribute N
//   P + N + "attrlistvaltype"          one type code per value of N
// Keys are joined without a separator, and stored trees rely on that.
#ifndef ORNUTIL_KELCORE_INTERNAL_ATTRLIST_LAYOUT_H
#define ORNUTIL_KELCORE_INTERNAL_ATTRLIST_LAYOUT_H

#include <cstddef>
#include <cstring>

namespace attrlist_layout {

inline constexpr char kNamesSuffix[] = "attrlistnames";
inline constexpr char kTypesSuffix[] = "attrlistvaltype";
inline constexpr std::size_t kNamesSuffixLength = sizeof kNamesSuffix - 1;
inline constexpr std::size_t kTypesSuffixLength = sizeof kTypesSuffix - 1;

// Whether the `length` bytes at `text` end in the suffix.
inline bool endsWith(const char* text, std::size_t length, const char* suffix, std::size_t suffixLength) {
  return length >= suffixLength && std::memcmp(text + length - suffixLength, suffix, suffixLength) == 0;
}

// Whether a key is the names key of some list (and so of the list whose
// prefix is the key without the suffix).
inline bool isNamesKey(const char* key, std::size_t length) {
  return endsWith(key, length, kNamesSuffix, kNamesSuffixLength);
}

// Whether an attribute name would make the flattened keys ambiguous: its
// value key P + N would be a layout key. N = "attrlistnames" is the list's
// own names key; N = "x" + "attrlistvaltype" is the type key of attribute
// "x"; any name ending in "attrlistnames" is the names key of the list under
// the prefix P + (N without the suffix). Such names are refused on writing,
// and a stored list naming one is reported rather than read. The comparison
// is exact, as the tree's keys are.
inline bool isReservedName(const char* name, std::size_t length) {
  return isNamesKey(name, length) || endsWith(name, length, kTypesSuffix, kTypesSuffixLength);
}

inline bool isReservedName(const char* name) { return name && isReservedName(name, std::strlen(name)); }

}  // namespace attrlist_layout

#endif
