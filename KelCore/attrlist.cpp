#include "KelCore/attrlist.h"

#include <cstdlib>
#include <cstring>

#include "foundation/internal/memoryrule.h"
#include "foundation/ornasn.h"
#include "foundation/zexception.h"

// Every function builds what it needs first and changes the caller's record
// only once nothing can fail any more, so a failure leaves the list as it
// was without any undo.

namespace {

const char kModule[] = "KelCore/attrlist";

// The foundation's upper(): ASCII a to z only.
inline unsigned char upperByte(unsigned char c) {
  return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

// strcmp of the two names upper-cased, computed in place: lists are searched
// on every addition, and building two upper-cased copies per step would cost
// two allocations each. A null name compares as the empty text.
int compareUpper(const char* a, const char* b) {
  const auto* x = reinterpret_cast<const unsigned char*>(a ? a : "");
  const auto* y = reinterpret_cast<const unsigned char*>(b ? b : "");
  for (;; ++x, ++y) {
    unsigned char cx = upperByte(*x);
    unsigned char cy = upperByte(*y);
    if (cx != cy) return cx < cy ? -1 : 1;
    if (cx == 0) return 0;
  }
}

enum class CopyResult { kOk, kNoMemory, kEmpty };

void releaseValue(value_s_t& value) {
  if (value.type == ATTR_VALUE_POBJ)
    attr_free_value_pobj(value);
  else
    std::free(value.data);
  std::free(value.str);
}

// Fills `slot` with a copy of `source`; on failure nothing stays allocated.
CopyResult copyValue(const value_s_t& source, value_s_t& slot) {
  slot.type = source.type;
  slot.str = loc_strdup(source.str);
  slot.length = source.length;
  slot.data = nullptr;
  // A lost string would silently drop part of the value: treat it as the
  // allocation failure it is.
  if (source.str && !slot.str) return CopyResult::kNoMemory;
  if (!source.data) {
    slot.length = 0;  // no bytes to read, whatever the length says
  } else if (source.type == ATTR_VALUE_POBJ) {
    attrlist_copy_value_pobj(&source, &slot);
    if (source.length && !slot.data) {
      std::free(slot.str);
      return CopyResult::kNoMemory;
    }
  } else if (source.length) {
    slot.data = static_cast<unsigned char*>(std::malloc(source.length));
    if (!slot.data) {
      std::free(slot.str);
      return CopyResult::kNoMemory;
    }
    std::memcpy(slot.data, source.data, source.length);
  }
  if (!slot.data && !slot.str) return CopyResult::kEmpty;
  return CopyResult::kOk;
}

void releaseEntries(attr_s_t* entries, unsigned int count) {
  for (unsigned int i = 0; i < count; ++i) attr_free(&entries[i]);
  std::free(entries);
}

// Deep copy of one entry into `out`; false (with nothing allocated) on failure.
bool copyEntry(const attr_s_t& source, attr_s_t& out) {
  out.name = loc_strdup(source.name);
  out.num_values = 0;
  out.values = nullptr;
  if (source.name && !out.name) return false;
  if (source.num_values) {
    out.values = static_cast<value_s_t*>(std::malloc(sizeof(value_s_t) * source.num_values));
    if (!out.values) {
      std::free(out.name);
      return false;
    }
    for (unsigned int i = 0; i < source.num_values; ++i) {
      if (copyValue(source.values[i], out.values[i]) != CopyResult::kOk) {
        attr_free(&out);  // releases the out.num_values values made so far
        return false;
      }
      ++out.num_values;
    }
  }
  return true;
}

}  // namespace

char* loc_strdup(char const* text) { return text ? strdup(text) : nullptr; }

unsigned int attrlist_find_entry(attrlist_s_t* list, char const* name) {
  unsigned int i = 0;
  while (i < list->num_entries && compareUpper(name, list->entries[i].name) != 0) ++i;
  return i;
}

void attrlist_add_entry(attrlist_s_t* list, char* name, value_s_t* value) {
  unsigned int i = 0;
  for (; i < list->num_entries; ++i) {
    int order = compareUpper(name, list->entries[i].name);
    if (order == 0) {
      attrlist_add_value(&list->entries[i], value);
      return;
    }
    if (order < 0) break;
  }
  unsigned int count = list->num_entries;
  if (count == ~0u) ornz::throwOutOfMemory(kModule, __LINE__);
  auto* entries = static_cast<attr_s_t*>(std::malloc(sizeof(attr_s_t) * (count + 1)));
  if (!entries) ornz::throwOutOfMemory(kModule, __LINE__);
  std::memset(entries, 0, sizeof(attr_s_t) * (count + 1));
  attr_s_t fresh = {loc_strdup(name), 0, nullptr};
  if (name && !fresh.name) {
    std::free(entries);
    ornz::throwOutOfMemory(kModule, __LINE__);
  }
  ornz::allOrNothing(
      kModule, __LINE__, [&] { attrlist_add_value(&fresh, value); },
      [&] {
        std::free(fresh.name);
        std::free(entries);
      });
  if (i) std::memcpy(entries, list->entries, sizeof(attr_s_t) * i);
  entries[i] = fresh;
  if (count > i) std::memcpy(entries + i + 1, list->entries + i, sizeof(attr_s_t) * (count - i));
  std::free(list->entries);
  list->entries = entries;
  list->num_entries = count + 1;
}

void attrlist_add_value(attr_s_t* attribute, value_s_t* value) {
  unsigned int count = attribute->num_values;
  if (count == ~0u) ornz::throwOutOfMemory(kModule, __LINE__);
  value_s_t copy;
  switch (copyValue(*value, copy)) {
    case CopyResult::kOk:
      break;
    case CopyResult::kNoMemory:
      ornz::throwOutOfMemory(kModule, __LINE__);
    case CopyResult::kEmpty:
      ornz::throwOutOfMemory(kModule, __LINE__);
  }
  void* grown = std::realloc(attribute->values, sizeof(value_s_t) * (count + 1));
  if (!grown) {
    releaseValue(copy);
    ornz::throwOutOfMemory(kModule, __LINE__);
  }
  attribute->values = static_cast<value_s_t*>(grown);
  attribute->values[count] = copy;
  attribute->num_values = count + 1;
}

void attrlist_del_value(attr_s_t* attribute, unsigned int index) {
  unsigned int count = attribute->num_values;
  if (index >= count) return;
  value_s_t* shorter = nullptr;
  if (count > 1) {
    shorter = static_cast<value_s_t*>(std::malloc(sizeof(value_s_t) * (count - 1)));
    if (!shorter) ornz::throwOutOfMemory(kModule, __LINE__);
  }
  releaseValue(attribute->values[index]);
  if (shorter) {
    if (index) std::memcpy(shorter, attribute->values, sizeof(value_s_t) * index);
    std::memcpy(shorter + index, attribute->values + index + 1, sizeof(value_s_t) * (count - index - 1));
  }
  std::free(attribute->values);
  attribute->values = shorter;
  attribute->num_values = count - 1;
}

void attr_free_value_pobj(value_s_t value) {
  orn_asn_buffer_t buffer = {value.length, value.data};
  orn_asn_buffer_free(&buffer);
}

void attrlist_copy_value_pobj(value_s_t const* source, value_s_t* target) {
  orn_asn_buffer_t from = {source->length, source->data};
  orn_asn_buffer_t to = {0, nullptr};
  unsigned long status = 0;
  orn_asn_buffer_copy(&from, &to, &status);
  target->data = status == 0 ? to.data : nullptr;
}

void attr_free(attr_s_t* attribute) {
  for (unsigned int i = attribute->num_values; i-- > 0;) releaseValue(attribute->values[i]);
  std::free(attribute->name);
  std::free(attribute->values);
}

void attrlist_delete(attrlist_s_t** list) {
  if (!list || !*list) return;
  releaseEntries((*list)->entries, (*list)->num_entries);
  std::free(*list);
  *list = nullptr;
}

attrlist_s_t* attrlist_dup(attrlist_s_t const* list) {
  if (!list) return nullptr;
  auto* copy = static_cast<attrlist_s_t*>(std::malloc(sizeof(attrlist_s_t)));
  if (!copy) return nullptr;
  copy->num_entries = list->num_entries;
  copy->entries = nullptr;
  if (!list->num_entries) return copy;
  auto* entries = static_cast<attr_s_t*>(std::malloc(sizeof(attr_s_t) * list->num_entries));
  if (!entries) {
    std::free(copy);
    return nullptr;
  }
  for (unsigned int i = 0; i < list->num_entries; ++i) {
    if (!copyEntry(list->entries[i], entries[i])) {
      releaseEntries(entries, i);
      std::free(copy);
      return nullptr;
    }
  }
  copy->entries = entries;
  return copy;
}
