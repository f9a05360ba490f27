// The typed object's wire forms, copying between objects, foundation
// operations and debug trace.
#include "KelCore/OrnObject.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KelCore/internal/ornobject_trace.h"
#include "foundation/svc.h"
#include "foundation/zexception.h"
#include "tests/support/secret_forms.h"
#include "tests/support/log_capture.h"
#include "util/encode.h"

namespace {

std::string text(ZUTF8String_7_0_0 const& s) { return std::string(s.getChars(), s.getLength()); }

// An object with root values, a scope and a value under a name that also
// has a subtree.
OrnObject sample() {
  OrnObject object("sample");
  object.addStringValue("list", "a", nullptr).addStringValue("list", "b", nullptr);
  object.addIntegerValue("count", 3, nullptr);
  object.addStringValue("inner", "x", "scope").addBooleanValue("flag", 1, "scope");
  return object;
}

void expectSampleContent(OrnObject& object, unsigned int times) {
  EXPECT_EQ(object.length("list", nullptr), 2 * times);
  EXPECT_EQ(text(object.getStringValue("list", 1, nullptr)), "b");
  EXPECT_EQ(object.integerValue("count", 0, nullptr), 3u);
  EXPECT_EQ(object.length("inner", "scope"), times);
  EXPECT_EQ(text(object.getStringValue("inner", 0, "scope")), "x");
  EXPECT_EQ(object.booleanValue("flag", 0, "scope"), 1u);
}

struct Buffer {
  orn_asn_buffer_t b{0, nullptr};
  ~Buffer() { orn_asn_buffer_free(&b); }
};

// ---------------------------------------------------------------- wire forms

TEST(OrnObjectWire, BufferRoundTripKeepsNamesValuesAndSubtreesAndDecodeAdds) {
  OrnObject source = sample();
  Buffer encoded;
  unsigned long status = 99;
  source.encode(encoded.b, status);
  ASSERT_EQ(status, 0u);

  OrnObject target;
  target.decode(encoded.b, status);
  ASSERT_EQ(status, 0u);
  expectSampleContent(target, 1);
  EXPECT_EQ(text(target.getName()), "sample");

  target.decode(encoded.b, status);
  ASSERT_EQ(status, 0u);
  expectSampleContent(target, 2);
}

TEST(OrnObjectWire, DecodingCallerBytesLeavesThemTheCallers) {
  Buffer encoded;
  unsigned long status = 0;
  sample().encode(encoded.b, status);
  ASSERT_EQ(status, 0u);
  std::vector<unsigned char> bytes(encoded.b.data, encoded.b.data + encoded.b.length);
  std::vector<unsigned char> before = bytes;

  OrnObject target;
  target.decode(static_cast<unsigned int>(bytes.size()), bytes.data(), status);
  ASSERT_EQ(status, 0u);
  expectSampleContent(target, 1);
  EXPECT_EQ(bytes, before);
}

TEST(OrnObjectWire, RefusedBytesReportTheCodecStatusAndAddNothing) {
  OrnObject target("kept");
  const unsigned char truncated[] = {0x30, 0x05, 0x30, 0x03};
  unsigned long status = 0;
  target.decode(sizeof truncated, truncated, status);
  EXPECT_NE(status, 0u);
  EXPECT_EQ(target.length(), 1u);
  EXPECT_EQ(text(target.getName()), "kept");
}

TEST(OrnObjectWire, KelobjRecordKeepsItsTagAndCarriesTheEncoding) {
  kelobj_t record;
  std::memset(&record, 0xab, sizeof record);
  OrnObject::init_kelobj(record, 7);
  EXPECT_EQ(record.tag, 7u);
  EXPECT_EQ(record.length, 0u);
  EXPECT_EQ(record.data, nullptr);
  EXPECT_EQ(record.head1, 0xababababu);  // left as it was

  OrnObject source = sample();
  unsigned long status = 99;
  source.encode(record, status);
  ASSERT_EQ(status, 0u);
  EXPECT_EQ(record.tag, 7u);
  EXPECT_EQ(record.head0, 0u);
  EXPECT_EQ(record.head1, 0u);
  ASSERT_NE(record.data, nullptr);

  OrnObject target;
  target.decode(record, status);
  ASSERT_EQ(status, 0u);
  expectSampleContent(target, 1);
  orn_asn_buffer_t owned{record.length, record.data};
  orn_asn_buffer_free(&owned);
}

// ---------------------------------------------------------------- identity into another object

TEST(OrnObjectIdentityCodec, EncodeAppendsTheGivenNameAndTheDescription) {
  OrnObject source("own name");
  OrnObject target;
  target.addStringValue("name", "earlier", nullptr);
  EXPECT_EQ(source.encode("n", nullptr, target), 0u);
  EXPECT_EQ(target.length("name", nullptr), 2u);
  EXPECT_EQ(text(target.getStringValue("name", 1, nullptr)), "n");
  EXPECT_EQ(target.length("description", nullptr), 1u);
  EXPECT_EQ(text(target.getStringValue("description", 0, nullptr)), "");

  ZUTF8String_7_0_0 description("described");
  source.setDescription(description);
  source.encode("m", "s", target);
  EXPECT_EQ(text(target.getStringValue("name", 0, "s")), "m");
  EXPECT_EQ(text(target.getStringValue("description", 0, "s")), "described");
  EXPECT_EQ(target.length("name", nullptr), 2u);
}

TEST(OrnObjectIdentityCodec, EncodeIntoItselfUsesTheDescriptionItHadBefore) {
  OrnObject object;
  ZUTF8String_7_0_0 description("d");
  object.setDescription(description);
  object.encode("n", nullptr, object);
  EXPECT_EQ(object.length("description", nullptr), 2u);
  EXPECT_EQ(text(object.getStringValue("description", 1, nullptr)), "d");
}

TEST(OrnObjectIdentityCodec, BaseDecodeDoesNothing) {
  OrnObject source = sample();
  OrnObject target("t");
  EXPECT_EQ(target.decode("n", nullptr, source), 0u);
  EXPECT_EQ(target.length(), 1u);
  expectSampleContent(source, 1);
}

// ---------------------------------------------------------------- copying between objects

TEST(OrnObjectCopying, GetAllScopeReplacesTheTargetWithTheScope) {
  OrnObject source = sample();
  source.addStringValue("deeper", "d", "scope");
  OrnObject target("former");

  source.getAllScope(target, nullptr);
  source.getAllScope(target, "missing");
  source.addStringValue("emptyScope", "v", nullptr);  // a name whose subtree is empty
  source.getAllScope(target, "emptyScope");
  EXPECT_EQ(text(target.getName()), "former");

  source.getAllScope(target, "scope");
  EXPECT_EQ(target.exist("name", nullptr), 0);
  EXPECT_EQ(text(target.getStringValue("inner", 0, nullptr)), "x");
  EXPECT_EQ(target.booleanValue("flag", 0, nullptr), 1u);
  EXPECT_EQ(target.length(), 3u);
}

TEST(OrnObjectCopying, GetAllScopeIntoItselfKeepsTheScopeContent) {
  OrnObject object = sample();
  object.getAllScope(object, "scope");
  EXPECT_EQ(text(object.getStringValue("inner", 0, nullptr)), "x");
  EXPECT_EQ(object.exist("list", nullptr), 0);
  EXPECT_EQ(object.length(), 2u);
}

TEST(OrnObjectCopying, GetNameValuesCopiesOneLevelsValuesToTheRoot) {
  OrnObject source = sample();
  OrnObject target;
  target.addStringValue("list", "held", nullptr);

  source.getNameValues(target, nullptr);
  EXPECT_EQ(target.length("list", nullptr), 3u);
  EXPECT_EQ(text(target.getStringValue("list", 0, nullptr)), "held");
  EXPECT_EQ(text(target.getStringValue("list", 2, nullptr)), "b");
  EXPECT_EQ(text(target.getStringValue("name", 0, nullptr)), "sample");
  EXPECT_EQ(target.exist("scope", nullptr), 0);  // subtrees are not copied

  OrnObject scoped;
  source.getNameValues(scoped, "scope");
  EXPECT_EQ(text(scoped.getStringValue("inner", 0, nullptr)), "x");
  source.getNameValues(scoped, "missing");
  EXPECT_EQ(scoped.length(), 2u);
}

TEST(OrnObjectCopying, GetNameValuesIntoItselfDoublesEachValueOnce) {
  OrnObject object;
  object.addStringValue("k", "a", nullptr).addStringValue("k", "b", nullptr);
  object.getNameValues(object, nullptr);
  ASSERT_EQ(object.length("k", nullptr), 4u);
  EXPECT_EQ(text(object.getStringValue("k", 3, nullptr)), "b");
}

// ---------------------------------------------------------------- foundation operations

TEST(OrnObjectFoundation, AllObjectsHashAndCompareAlike) {
  OrnObject a("a"), b = sample();
  EXPECT_EQ(a.hash(), 0u);
  EXPECT_EQ(b.hash(), 0u);
  EXPECT_EQ(a.compare(b), 0);
  EXPECT_TRUE(a.equals(b));
}

TEST(OrnObjectFoundation, CloneIsAnIndependentDeepCopy) {
  OrnObject original = sample();
  std::unique_ptr<ZObject_7_0_0> cloned(original.clone());
  auto* copy = dynamic_cast<OrnObject*>(cloned.get());
  ASSERT_NE(copy, nullptr);
  expectSampleContent(*copy, 1);
  copy->setStringValue("inner", "changed", 0, "scope");
  copy->addStringValue("list", "c", nullptr);
  copy->deleteName("count", nullptr);
  expectSampleContent(original, 1);
  EXPECT_EQ(original.length("list", nullptr), 2u);
}

// ---------------------------------------------------------------- trace

class OrnObjectTrace : public ::testing::Test {
 protected:
  void TearDown() override {
    orn_svc_set_debug_level(kelcore_svc_handle, -1, 0);
    orn_svc_set_debug_level(orn_ras_svc_handle, 3, 0);
    ornobject_internal::traceEmitter = ornobject_internal::emitTrace;
  }
  ornutil_test::LogCapture capture_;
};

TEST_F(OrnObjectTrace, EmitsOneRecordAtOrBelowTheHandlesLevelOnly) {
  OrnObject object;
  object.addStringValue("a", "x", nullptr);
  orn_svc_set_debug_level(kelcore_svc_handle, 2, 5);
  object.traceDump(kelcore_svc_handle, "caller/file", 77, 2, 6, "above: ");
  EXPECT_TRUE(capture_.records().empty());
  object.traceDump(kelcore_svc_handle, "caller/file", 77, 2, -1, "negative is huge: ");
  EXPECT_TRUE(capture_.records().empty());

  object.traceDump(kelcore_svc_handle, "caller/file", 77, 2, 5, "at: ");
  object.traceDump(kelcore_svc_handle, "caller/file", 78, 2, 1, "below: ");
  auto records = capture_.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].handle, "kel.core");
  EXPECT_EQ(records[0].subcomponent, 2u);
  EXPECT_EQ(records[0].severity, "DEBUG5");
  EXPECT_EQ(records[0].file, "caller/file");
  EXPECT_EQ(records[0].line, 77);
  // The record's one trailing newline is dropped.
  EXPECT_EQ(records[0].text, "at: \tnumber of entries = 1\n\tnum values = 1\ta = x");
  EXPECT_EQ(records[1].severity, "DEBUG1");
  EXPECT_EQ(records[1].text.rfind("below: ", 0), 0u);
}

TEST_F(OrnObjectTrace, PercentSignsAreTracedAsTheyStand) {
  OrnObject object;
  object.addStringValue("v%d", "%s%n%x", nullptr);
  orn_svc_set_debug_level(kelcore_svc_handle, 0, 9);
  object.traceDump(kelcore_svc_handle, "f", 1, 0, 9, "%s prefix ");
  auto records = capture_.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text, "%s prefix \tnumber of entries = 1\n\tnum values = 1\tv%d = %s%n%x");
}

TEST_F(OrnObjectTrace, SecretValuesAreMaskedAtEveryLevel) {
  OrnObject object;
  object.addStringValue("password", "hunter2", nullptr);
  object.addStringValue("pwd", "p1", "s").addStringValue("pwd", "p2", "s");
  object.addStringValue("obfuscate", "true", nullptr).addStringValue("value", "hidden", nullptr);
  orn_svc_set_debug_level(kelcore_svc_handle, 0, 9);
  object.traceDump(kelcore_svc_handle, "f", 1, 0, 9, "");
  auto records = capture_.records();
  ASSERT_EQ(records.size(), 1u);
  const std::string& trace = records[0].text;
  EXPECT_EQ(trace.find("hunter2"), std::string::npos);
  EXPECT_EQ(trace.find("p1"), std::string::npos);
  EXPECT_EQ(trace.find("hidden"), std::string::npos);
  EXPECT_NE(trace.find("password = ******"), std::string::npos);
  EXPECT_NE(trace.find("\ts is a subtree\n"), std::string::npos);
  EXPECT_NE(trace.find("pwd = \n\t\t\t\t******\n\t\t\t\t******"), std::string::npos);
}

TEST_F(OrnObjectTrace, AFailedEmissionIsReportedAndSwallowed) {
  ornobject_internal::traceEmitter = [](dce_svc_handle_s_t*, char const*, int, unsigned int, unsigned int,
                                        char const*) { throw ZOutOfMemoryException_7_0_0(); };
  OrnObject object;
  object.addStringValue("a", "x", nullptr);
  orn_svc_set_debug_level(kelcore_svc_handle, 4, 3);
  orn_svc_set_debug_level(orn_ras_svc_handle, 3, 9);
  EXPECT_NO_THROW(object.traceDump(kelcore_svc_handle, "caller/file", 12, 4, 3, "pfx%d"));
  auto records = capture_.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].handle, "orn.ras");
  EXPECT_EQ(records[0].subcomponent, 3u);
  EXPECT_EQ(records[0].severity, "DEBUG9");
  EXPECT_EQ(records[0].file, "KelCore/OrnObject");
  EXPECT_EQ(records[0].line, 1055);
  EXPECT_EQ(records[0].text, "Unspecified Exception caught. ");
  EXPECT_EQ(records[1].handle, "kel.core");
  EXPECT_EQ(records[1].subcomponent, 4u);
  EXPECT_EQ(records[1].severity, "DEBUG3");
  EXPECT_EQ(records[1].file, "caller/file");
  EXPECT_EQ(records[1].line, 12);
  EXPECT_EQ(records[1].text, "Bad textPrefix, pfx%d");
}

TEST_F(OrnObjectTrace, ANullHandleTracesNothing) {
  OrnObject object;
  EXPECT_NO_THROW(object.traceDump(nullptr, "f", 1, 0, 0, "p"));
  EXPECT_TRUE(capture_.records().empty());
}

// ---------------------------------------------------------------- secrets inside nested values

// An attribute list on the C heap, released with the test.
struct List {
  attrlist_s_t l{0, nullptr};
  ~List() {
    for (unsigned int i = 0; i < l.num_entries; ++i) attr_free(&l.entries[i]);
    std::free(l.entries);
  }
  List& add(const char* name, unsigned int type, const char* str, const void* data = nullptr,
            unsigned int length = 0) {
    value_s_t v{type, const_cast<char*>(str), length, static_cast<unsigned char*>(const_cast<void*>(data))};
    attrlist_add_entry(&l, const_cast<char*>(name), &v);
    return *this;
  }
};

OrnObject holding(const char* name, const std::string& value) {
  OrnObject object;
  object.addStringValue(name, value.c_str(), nullptr);
  return object;
}

struct NestedSecretCase {
  const char* description;
  // Fills the object around the secret; every case also stores the value
  // "visible-<description>" beside it, which the record must show.
  std::function<void(OrnObject&, const std::string& secret, const std::string& visible)> build;
};

void PrintTo(const NestedSecretCase& c, std::ostream* os) { *os << c.description; }

class OrnObjectTraceNestedSecret : public OrnObjectTrace,
                                   public ::testing::WithParamInterface<NestedSecretCase> {};

TEST_P(OrnObjectTraceNestedSecret, TheRecordHoldsNoFormOfTheSecret) {
  const std::string secret = std::string("Wv5#secret-") + GetParam().description + "-end";
  const std::string visible = std::string("visible-") + GetParam().description;
  OrnObject object("outer");
  GetParam().build(object, secret, visible);
  orn_svc_set_debug_level(kelcore_svc_handle, 0, 9);
  object.traceDump(kelcore_svc_handle, "f", 1, 0, 9, "dump: ");
  auto records = capture_.records();
  ASSERT_EQ(records.size(), 1u);
  const std::string& record = records[0].text;
  for (const std::string& form : ornutil_test::secretForms(secret))
    EXPECT_EQ(record.find(form), std::string::npos) << form << "\n" << record;
  EXPECT_NE(record.find(visible), std::string::npos) << record;
  EXPECT_NE(record.find("(object)"), std::string::npos) << record;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OrnObjectTraceNestedSecret,
    ::testing::Values(
        NestedSecretCase{"Depth1",
                         [](OrnObject& o, const std::string& s, const std::string& v) {
                           OrnObject inner = holding("password", s);
                           inner.addStringValue("user", v.c_str(), nullptr);
                           o.addObjectValue("cfg", inner, nullptr);
                         }},
        NestedSecretCase{"Depth2InScopes",
                         [](OrnObject& o, const std::string& s, const std::string& v) {
                           OrnObject middle = holding("note", v);
                           middle.addObjectValue("inner", holding("pwd", s), "scope");
                           o.addObjectValue("cfg", middle, "outer-scope");
                         }},
        NestedSecretCase{"Depth3",
                         [](OrnObject& o, const std::string& s, const std::string& v) {
                           OrnObject three = holding("server_pwd", s);
                           three.addStringValue("host", v.c_str(), nullptr);
                           OrnObject two, one;
                           two.addObjectValue("three", three, nullptr);
                           one.addObjectValue("two", two, nullptr);
                           o.addObjectValue("one", one, nullptr);
                         }},
        NestedSecretCase{"ScrambledAtDepth2",
                         [](OrnObject& o, const std::string& s, const std::string& v) {
                           char* scrambled = util_encode(s.c_str());
                           OrnObject inner = holding("resourcepassword", scrambled);
                           std::free(scrambled);
                           OrnObject middle = holding("user", v);
                           middle.addObjectValue("inner", inner, nullptr);
                           o.addObjectValue("cfg", middle, nullptr);
                         }},
        NestedSecretCase{"ObjectArray",
                         [](OrnObject& o, const std::string& s, const std::string& v) {
                           ZArrayList_7_0_0 list(10, 1);
                           OrnObject first = holding("user", v), second = holding("password", s);
                           list.add(&first);
                           list.add(&second);
                           o.setObjectArrayValue("list", list, nullptr);
                         }},
        NestedSecretCase{"AttributeList",
                         [](OrnObject& o, const std::string& s, const std::string& v) {
                           // The secret as a string, as bytes and inside an encoded object.
                           orn_asn_buffer_t encoded{0, nullptr};
                           unsigned long status = 1;
                           holding("password", s).encode(encoded, status);
                           ASSERT_EQ(status, 0u);
                           List list;
                           list.add("user", ATTR_VALUE_STRING, v.c_str())
                               .add("password", ATTR_VALUE_STRING, s.c_str())
                               .add("pwd", ATTR_VALUE_BUFFER, nullptr, s.data(), static_cast<unsigned int>(s.size()))
                               .add("blob", ATTR_VALUE_POBJ, nullptr, encoded.data,
                                    static_cast<unsigned int>(encoded.length));
                           orn_asn_buffer_free(&encoded);
                           o.addAttrListValue("attrs", list.l, nullptr);
                         }},
        NestedSecretCase{"AttributeListInAnArrayElement",
                         [](OrnObject& o, const std::string& s, const std::string& v) {
                           List list;
                           list.add("user", ATTR_VALUE_STRING, v.c_str()).add("password", ATTR_VALUE_STRING, s.c_str());
                           OrnObject element;
                           element.addAttrListValue("attrs", list.l, "scope");
                           ZArrayList_7_0_0 array(10, 1);
                           array.add(&element);
                           o.addObjectArrayValue("list", array, nullptr);
                         }},
        NestedSecretCase{"FlatAttributeListUnderAPrefixInAnObject",
                         [](OrnObject& o, const std::string& s, const std::string& v) {
                           List list;
                           list.add("user", ATTR_VALUE_STRING, v.c_str()).add("password", ATTR_VALUE_STRING, s.c_str());
                           OrnObject inner;
                           inner.v417_addAttrListValue_deprecated("cred", list.l, nullptr);
                           o.addObjectValue("cfg", inner, nullptr);
                         }}),
    [](const ::testing::TestParamInfo<NestedSecretCase>& info) { return info.param.description; });

// What a trace shows of a nested object: its tree one level deeper, in the
// value's place; the object still reads back as it was stored.
TEST_F(OrnObjectTrace, NestedObjectsAreRenderedAsTreesInTheRecord) {
  OrnObject inner;
  inner.addStringValue("user", "alice", nullptr).addStringValue("password", "hunter2", nullptr);
  OrnObject object;
  object.addObjectValue("cfg", inner, nullptr).addStringValue("plain", "MDEy", nullptr);
  orn_svc_set_debug_level(kelcore_svc_handle, 0, 9);
  object.traceDump(kelcore_svc_handle, "f", 1, 0, 9, "");
  auto records = capture_.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text,
            "\tnumber of entries = 2\n\tnum values = 1\tcfg = (object)\n\t\tnumber of entries = 2\n"
            "\t\tnum values = 1\tuser = alice\n\t\tnum values = 1\tpassword = ******\n"
            "\tnum values = 1\tplain = MDEy");
  OrnObject back;
  object.objectValue("cfg", back, 0, nullptr);
  EXPECT_EQ(text(back.getStringValue("password", 0, nullptr)), "hunter2");
}

}  // namespace
