// The typed object's wire forms, its copying between objects and its trace.
#include "KelCore/OrnObject.h"

#include <optional>

#include "KelCore/internal/ornobject_raise.h"
#include "KelCore/internal/ornobject_trace.h"
#include "foundation/svc.h"

namespace ornobject_internal {

void emitTrace(dce_svc_handle_s_t* handle, char const* file, int line, unsigned int subcomponent,
               unsigned int level, char const* text) {
  // The text carries names and values: it must never be read as a format.
  orn_svc__debug_utf8_withfile(handle, file, line, subcomponent, level, "%s", text);
}

TraceEmitter traceEmitter = emitTrace;

}  // namespace ornobject_internal

namespace {

// Logical source line of traceDump's catch handler.
constexpr int kLineTraceCaught = 1055;

}  // namespace

// ---------------------------------------------------------------- wire forms

void OrnObject::encode(kelobj_t& object, unsigned long& status) { nameValues_.encode(object, status); }

void OrnObject::encode(orn_asn_buffer_t& buffer, unsigned long& status) const {
  nameValues_.encode(buffer, status);
}

void OrnObject::decode(orn_asn_buffer_t& buffer, unsigned long& status) { nameValues_.decode(buffer, status); }

void OrnObject::decode(kelobj_t& object, unsigned long& status) { nameValues_.decode(object, status); }

void OrnObject::decode(unsigned int length, unsigned char const* data, unsigned long& status) {
  // The codec only reads the bytes; the buffer type just has no const form.
  orn_asn_buffer_t buffer{length, const_cast<unsigned char*>(data)};
  nameValues_.decode(buffer, status);
}

void OrnObject::init_kelobj(kelobj_t& object, unsigned int tag) {
  object.tag = tag;
  object.length = 0;
  object.data = nullptr;
}

// ---------------------------------------------------------------- identity

unsigned long OrnObject::encode(char const* name, char const* scope, OrnObject& target) {
  // A copy: `target` may be this object, and a derived getDescription may
  // hand out anything.
  ZUTF8String_7_0_0 description(getDescription());
  target.addStringValue("name", name, scope);
  target.addStringValue("description", description.getChars(), scope);
  return 0;
}

unsigned long OrnObject::decode(char const*, char const*, OrnObject&) { return 0; }

// ---------------------------------------------------------------- copying between objects

void OrnObject::getAllScope(OrnObject& target, char const* scope) {
  if (!scope || nameValues_.getSubtreeCount(scope) == 0) return;
  NameValueMap const* subtree = nameValues_.getSubtree(scope);
  if (&target == this) {
    // The subtree lives inside the tree being replaced: copy it out first.
    NameValueMap copy(*subtree);
    nameValues_ = copy;
    return;
  }
  target.nameValues_ = *subtree;
}

void OrnObject::getNameValues(OrnObject& target, char const* scope) {
  NameValueMap const* level = findLevel(scope);
  if (!level) return;
  // Copying into this object would add to the lists being read.
  std::optional<NameValueMap> snapshot;
  if (&target == this) level = &snapshot.emplace(*level);
  // The stored entries directly: listing the names would make a key object
  // for each, kept for the life of the name.
  std::uint32_t names = 0;
  const ZHashKeyMap_7_0_0::Entry* entries = level->entries(names);
  for (std::uint32_t i = 0; i < names; ++i) {
    char const* name = entries[i].chars;
    unsigned int count = level->getValueCount(name);
    for (unsigned int j = 0; j < count; ++j) {
      ZUTF8String_7_0_0 const* value = level->getString(name, j);
      target.addStringValue(name, value ? value->getChars() : "", nullptr);
    }
  }
}

// ---------------------------------------------------------------- trace

void OrnObject::traceDump(dce_svc_handle_s_t* handle, char const* file, int line, int subcomponent, int level,
                          char const* textPrefix) {
  if (!handle) return;
  auto sub = static_cast<unsigned int>(subcomponent);
  auto wanted = static_cast<unsigned int>(level);
  if (orn_svc_debug_level(handle, sub) < wanted) return;

  ZUTF8String_7_0_0 text(textPrefix);
  nameValues_.buildTraceBuf(text, 0);
  try {
    ornobject_internal::traceEmitter(handle, file, line, sub, wanted, text.getChars());
  } catch (...) {
    // Tracing must never take the caller down: say what failed and go on.
    if (orn_svc_debug_level(orn_ras_svc_handle, 3) > 8)
      orn_svc__debug_utf8_withfile(orn_ras_svc_handle, ornobject_internal::kModule, kLineTraceCaught, 3, 9,
                                   "%s Exception caught. \n", "Unspecified");
    orn_svc__debug_utf8_withfile(handle, file, line, sub, wanted, "Bad textPrefix, %s",
                                 textPrefix ? textPrefix : "(null)");
  }
}
