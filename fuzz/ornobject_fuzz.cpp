// Decoding arbitrary bytes into a typed object, then reading every name the
// bytes carry with every reader (nested objects and attribute lists
// included) and tracing the result, alone and nested in another object: no
// crash, no leak, and a refused input leaves the object as it was.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "KelCore/OrnObject.h"
#include "foundation/svc.h"
#include "foundation/zexception.h"

namespace {

void releaseList(attrlist_s_t& list) {
  for (unsigned int i = 0; i < list.num_entries; ++i) attr_free(&list.entries[i]);
  std::free(list.entries);
  list = attrlist_s_t{0, nullptr};
}

// The names of the decoded tree: top-level names (which are also the
// scopes) and the names inside them, as the codec lists them.
void namesOf(orn_asn_buffer_t const& buffer, std::vector<std::string>& top, std::vector<std::string>& inner) {
  namevalueList_s_t list{0, nullptr};
  if (ornAsnDecodeObj(buffer, list) != 0) return;
  // Bounded, so that a wide input costs no more than a deep look at a few.
  for (unsigned int i = 0; i < list.num_entries && top.size() < 32; ++i) {
    top.emplace_back(list.entries[i]->name);
    for (unsigned int j = 0; j < list.entries[i]->num_subtrees && inner.size() < 32; ++j)
      inner.emplace_back(list.entries[i]->subtrees[j]->name);
  }
  ornAsnFreeObj(list);
}

void readName(OrnObject& object, char const* name, char const* scope) {
  unsigned int count = object.length(name, scope);
  object.exist(name, scope);
  ZArrayList_7_0_0 strings(10, 1);
  object.stringArrayValue(name, strings, scope);
  if (strings.size() != static_cast<int>(count)) std::abort();
  for (unsigned int i = 0; i <= count && i < 4; ++i) {
    object.getStringValue(name, i, scope);
    object.integerValue(name, i, scope);
    object.booleanValue(name, i, scope);
    char* data = nullptr;
    unsigned long length = 0;
    object.bufferValue(name, data, length, i, scope);
    std::free(data);
    OrnObject nested;
    try {
      object.objectValue(name, nested, i, scope);
    } catch (ZInvalidParameterException_7_0_0 const&) {
      if (nested.length() != 0) std::abort();  // a refused value adds nothing
    }
    attrlist_s_t list{0, nullptr};
    try {
      object.attrListValue(name, list, i, scope);
    } catch (ZInvalidParameterException_7_0_0 const&) {
    }
    releaseList(list);
  }
  attrlist_s_t flat{0, nullptr};
  object.v417_attrListValue_deprecated(name, flat, scope);
  releaseList(flat);
}

}  // namespace

static std::string gLog;  // the records' file

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Traces are built and written in full, but not to the terminal: to a
  // file of a private directory, emptied before each input and removed at exit.
  static char dir[] = "/tmp/ornobject-fuzz-XXXXXX";
  if (!::mkdtemp(dir)) std::abort();
  gLog = std::string(dir) + "/records.log";
  std::atexit([] {
    ::unlink(gLog.c_str());
    ::rmdir(dir);
  });
  setenv("ORN_SVC_LOG", gLog.c_str(), 1);
  unsigned long status = 0;
  orn_svc_init(0, &status);
  orn_svc_set_debug_level(kelcore_svc_handle, 0, 9);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The records are written (their cost is part of what is fuzzed), not kept.
  (void)::truncate(gLog.c_str(), 0);
  if (size > UINT32_MAX) return 0;
  OrnObject object("seed");
  unsigned long status = 0;
  object.decode(static_cast<unsigned int>(size), data, status);
  if (status != 0) {
    if (object.length() != 1) std::abort();
    return 0;
  }

  std::vector<std::string> top, inner;
  orn_asn_buffer_t input{size, const_cast<unsigned char*>(data)};
  namesOf(input, top, inner);
  for (std::string const& name : top) readName(object, name.c_str(), nullptr);
  for (std::string const& scope : top)
    for (std::string const& name : inner) readName(object, name.c_str(), scope.c_str());
  object.getName();
  object.getDescription();
  attrlist_s_t list{0, nullptr};
  object.attrListValue_internal("", list, nullptr);

  OrnObject copy;
  object.getNameValues(copy, nullptr);
  for (std::string const& scope : top) object.getAllScope(copy, scope.c_str());
  object.traceDump(kelcore_svc_handle, "fuzz", 1, 0, 9, "decoded: ");
  copy.traceDump(kelcore_svc_handle, "fuzz", 2, 0, 9, "%s%n");

  // The decoded object nested in another, beside its attribute list and in
  // an array: the trace renders every one of them as a tree.
  OrnObject outer;
  outer.addObjectValue("cfg", object, nullptr);
  outer.addAttrListValue("attrs", list, "scope");
  ZArrayList_7_0_0 array(10, 0);
  array.add(&object);
  array.add(&copy);
  outer.addObjectArrayValue("list", array, nullptr);
  releaseList(list);
  outer.traceDump(kelcore_svc_handle, "fuzz", 3, 0, 9, "nested: ");

  // What was decoded encodes again.
  orn_asn_buffer_t out{0, nullptr};
  object.encode(out, status);
  if (status != 0) std::abort();
  orn_asn_buffer_free(&out);
  return 0;
}
