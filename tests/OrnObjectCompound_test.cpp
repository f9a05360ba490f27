// The typed object's compound values: nested objects, object and string
// arrays, attribute lists, and where each refusal is raised from.
#include "KelCore/OrnObject.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "foundation/zexception.h"
#include "tests/support/invalid_parameter_raise.h"

namespace {

std::string text(ZUTF8String_7_0_0 const& s) { return std::string(s.getChars(), s.getLength()); }

// An attribute list on the C heap, released with the test.
struct List {
  attrlist_s_t l{0, nullptr};
  ~List() {
    for (unsigned int i = 0; i < l.num_entries; ++i) attr_free(&l.entries[i]);
    std::free(l.entries);
  }
  List& str(const char* name, const char* s) {
    value_s_t v{ATTR_VALUE_STRING, const_cast<char*>(s), 0, nullptr};
    attrlist_add_entry(&l, const_cast<char*>(name), &v);
    return *this;
  }
  List& bytes(const char* name, unsigned int type, const void* data, unsigned int length) {
    value_s_t v{type, nullptr, length, static_cast<unsigned char*>(const_cast<void*>(data))};
    attrlist_add_entry(&l, const_cast<char*>(name), &v);
    return *this;
  }
  List& uint(const char* name, const unsigned char (&be)[4]) { return bytes(name, ATTR_VALUE_UINT32, be, 4); }
};

// A list as text: "name: 4'text' 5#7 2[616263]; ..." in entry order.
std::string describe(const attrlist_s_t& list) {
  std::string out;
  for (unsigned int i = 0; i < list.num_entries; ++i) {
    const attr_s_t& a = list.entries[i];
    out += a.name;
    out += ":";
    for (unsigned int j = 0; j < a.num_values; ++j) {
      const value_s_t& v = a.values[j];
      out += " " + std::to_string(v.type);
      if (v.type == ATTR_VALUE_STRING) {
        out += "'" + std::string(v.str ? v.str : "(null)") + "'";
      } else if (v.type == ATTR_VALUE_UINT32 && v.length == 4) {
        unsigned long n = (static_cast<unsigned long>(v.data[0]) << 24) | (v.data[1] << 16) | (v.data[2] << 8) | v.data[3];
        out += "#" + std::to_string(n);
      } else {
        out += "[";
        char hex[3];
        for (unsigned int k = 0; k < v.length; ++k) {
          std::snprintf(hex, sizeof hex, "%02x", v.data[k]);
          out += hex;
        }
        out += "]";
      }
    }
    out += "; ";
  }
  return out;
}

std::vector<std::string> values(OrnObject& o, const char* name, const char* scope) {
  std::vector<std::string> out;
  for (unsigned int i = 0; i < o.length(name, scope); ++i) out.push_back(text(o.getStringValue(name, i, scope)));
  return out;
}

// A derived object that stores a form of its own: its tree plus a marker.
class Tagged : public OrnObject {
 public:
  explicit Tagged(const char* name) : OrnObject(name) {}
  // Owning lists keep clones: without this they would hold plain objects.
  ZObject_7_0_0* clone() const override { return new Tagged(*this); }
  using OrnObject::encode;
  void encode(orn_asn_buffer_t& buffer, unsigned long& status) const override {
    OrnObject copy(*this);
    copy.addStringValue("kind", "tagged", nullptr);
    copy.OrnObject::encode(buffer, status);
  }
};

// A derived object whose encoding always fails.
class Unencodable : public OrnObject {
 public:
  ZObject_7_0_0* clone() const override { return new Unencodable(*this); }
  using OrnObject::encode;
  void encode(orn_asn_buffer_t&, unsigned long& status) const override { status = 5; }
};

OrnObject nestedSample() {
  OrnObject o("inner");
  o.addStringValue("v", "1", nullptr).addStringValue("v", "2", nullptr).addIntegerValue("n", 9, "deep");
  return o;
}

// ---------------------------------------------------------------- nested objects

TEST(OrnObjectNested, AddedObjectReadsBackWithValuesAndSubtrees) {
  OrnObject outer;
  outer.addObjectValue("child", nestedSample(), "s");
  outer.addObjectValue("child", OrnObject("second"), "s");
  EXPECT_EQ(outer.length("child", "s"), 2u);

  OrnObject out;
  outer.objectValue("child", out, 0, "s");
  EXPECT_EQ(text(out.getName()), "inner");
  EXPECT_EQ(values(out, "v", nullptr), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(out.integerValue("n", 0, "deep"), 9u);

  // Reading adds to what the object holds.
  outer.objectValue("child", out, 1, "s");
  EXPECT_EQ(values(out, "name", nullptr), (std::vector<std::string>{"inner", "second"}));
}

TEST(OrnObjectNested, SetReplacesAtTheIndex) {
  OrnObject outer;
  outer.addObjectValue("child", OrnObject("a"), nullptr).addObjectValue("child", OrnObject("b"), nullptr);
  outer.setObjectValue("child", OrnObject("c"), 0, nullptr);
  outer.setObjectValue("child", OrnObject("d"), 9, nullptr);
  std::vector<std::string> names;
  for (unsigned int i = 0; i < 3; ++i) {
    OrnObject out;
    outer.objectValue("child", out, i, nullptr);
    names.push_back(text(out.getName()));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"c", "b", "d"}));
}

TEST(OrnObjectNested, ADerivedClassStoresItsOwnEncoding) {
  OrnObject outer;
  Tagged tagged("t");
  outer.addObjectValue("child", tagged, nullptr);
  outer.setObjectValue("child", tagged, 5, nullptr);
  for (unsigned int i = 0; i < 2; ++i) {
    OrnObject out;
    outer.objectValue("child", out, i, nullptr);
    EXPECT_EQ(text(out.getStringValue("kind", 0, nullptr)), "tagged");
    EXPECT_EQ(text(out.getName()), "t");
  }
}

TEST(OrnObjectNested, AbsentOrEmptyValuesLeaveTheOutputAlone) {
  OrnObject outer;
  outer.addStringValue("empty", "", nullptr);
  outer.addStringValue("noBytes", "!!!!", nullptr);  // decodes to no bytes
  OrnObject out("kept");
  outer.objectValue("absent", out, 0, nullptr);
  outer.objectValue("empty", out, 0, nullptr);
  outer.objectValue("noBytes", out, 0, nullptr);
  outer.objectValue(nullptr, out, 0, "missing");
  EXPECT_EQ(out.length(), 1u);
  EXPECT_EQ(text(out.getName()), "kept");
}

TEST(OrnObjectNested, BytesThatDoNotDecodeRaiseAndAddNothing) {
  OrnObject outer;
  outer.addBufferValue("child", "\x30\x05\x30", 3, nullptr);
  OrnObject out("kept");
  EXPECT_THROW(outer.objectValue("child", out, 0, nullptr), ZInvalidParameterException_7_0_0);
  EXPECT_EQ(out.length(), 1u);
}

TEST(OrnObjectNested, AFailedEncodingStoresNothing) {
  OrnObject outer;
  Unencodable bad;
  EXPECT_THROW(outer.addObjectValue("child", bad, "s"), ZInvalidParameterException_7_0_0);
  EXPECT_THROW(outer.setObjectValue("child", bad, 0, nullptr), ZInvalidParameterException_7_0_0);
  EXPECT_EQ(outer.exist("child", nullptr), 0);
  EXPECT_EQ(outer.length("child", "s"), 0u);
}

// ---------------------------------------------------------------- raise lines

struct RaiseCase {
  const char* description;
  std::function<void(OrnObject&)> operation;
  int traceLine;
};

void PrintTo(const RaiseCase& c, std::ostream* os) { *os << c.description; }

class OrnObjectRaises : public ::testing::TestWithParam<RaiseCase> {};

TEST_P(OrnObjectRaises, TracesAtItsLineAndThrowsFromTheNext) {
  const RaiseCase& c = GetParam();
  OrnObject object;
  object.addBufferValue("garbage", "\x04\x01", 2, nullptr);
  ornutil_test::RaiseSeen seen = ornutil_test::captureInvalidParameterRaise([&] { c.operation(object); });
  ASSERT_TRUE(seen.raised);
  EXPECT_EQ(seen.file, "KelCore/OrnObject");
  EXPECT_EQ(seen.line, c.traceLine + 1);
  ASSERT_EQ(seen.traces.size(), 1u);
  EXPECT_EQ(seen.traces[0].severity, "DEBUG9");
  EXPECT_EQ(seen.traces[0].handle, "orn.ras");
  EXPECT_EQ(seen.traces[0].subcomponent, 3u);
  EXPECT_EQ(seen.traces[0].file, "KelCore/OrnObject");
  EXPECT_EQ(seen.traces[0].line, c.traceLine);
  EXPECT_EQ(seen.traces[0].text, "ZInvalidParameterException Exception thrown. ");
}

ZArrayList_7_0_0 objectList(int count) {
  ZArrayList_7_0_0 list(10, 1);
  for (int i = 0; i < count; ++i) {
    OrnObject o("x");
    list.add(&o);
  }
  return list;
}

const attrlist_s_t kEmptyList{0, nullptr};

INSTANTIATE_TEST_SUITE_P(
    Places, OrnObjectRaises,
    ::testing::Values(
        RaiseCase{"addObjectValueNullName", [](OrnObject& o) { o.addObjectValue(nullptr, OrnObject(), nullptr); },
                  236},
        RaiseCase{"addObjectValueEncodeFails", [](OrnObject& o) { o.addObjectValue("n", Unencodable(), nullptr); },
                  255},
        RaiseCase{"setObjectValueNullName",
                  [](OrnObject& o) { o.setObjectValue(nullptr, OrnObject(), 0, nullptr); }, 279},
        RaiseCase{"setObjectValueEncodeFails",
                  [](OrnObject& o) { o.setObjectValue("n", Unencodable(), 0, nullptr); }, 298},
        RaiseCase{"addObjectArrayValueNullName",
                  [](OrnObject& o) { o.addObjectArrayValue(nullptr, objectList(1), nullptr); }, 236},
        RaiseCase{"setObjectArrayValueNullName",
                  [](OrnObject& o) { o.setObjectArrayValue(nullptr, objectList(0), nullptr); }, 311},
        RaiseCase{"addAttrListValueNullName", [](OrnObject& o) { o.addAttrListValue(nullptr, kEmptyList, nullptr); },
                  331},
        RaiseCase{"setAttrListValueNullName",
                  [](OrnObject& o) { o.setAttrListValue(nullptr, kEmptyList, 0, nullptr); }, 348},
        RaiseCase{"objectValueDecodeFails",
                  [](OrnObject& o) {
                    OrnObject out;
                    o.objectValue("garbage", out, 0, nullptr);
                  },
                  691},
        RaiseCase{"attrListValueDecodeFails",
                  [](OrnObject& o) {
                    List out;
                    o.attrListValue("garbage", out.l, 0, nullptr);
                  },
                  691},
        RaiseCase{"objectListElementNotAnObject",
                  [](OrnObject& o) {
                    ZArrayList_7_0_0 list(10, 1);
                    ZUTF8String_7_0_0 s("not an object");
                    list.add(&s);
                    o.addObjectArrayValue("n", list, nullptr);
                  },
                  304},
        RaiseCase{"stringListElementNull",
                  [](OrnObject& o) {
                    ZArrayList_7_0_0 list(10, 0);
                    list.add(nullptr);
                    o.setStringArrayValue("n", list, nullptr);
                  },
                  370},
        RaiseCase{"attrListNameIsALayoutKey",
                  [](OrnObject& o) {
                    List list;
                    list.str("attrlistnames", "v");
                    o.addAttrListValue("attrs", list.l, nullptr);
                  },
                  340},
        RaiseCase{"storedListNamesALayoutKey",
                  [](OrnObject& o) {
                    o.addStringValue("attrlistnames", "xattrlistvaltype", nullptr);
                    List out;
                    o.attrListValue_internal("", out.l, nullptr);
                  },
                  708}),
    [](const ::testing::TestParamInfo<RaiseCase>& info) { return std::string(info.param.description); });

// ---------------------------------------------------------------- object and string arrays

TEST(OrnObjectArrays, SetObjectArrayReplacesEveryValue) {
  OrnObject object;
  for (int i = 0; i < 5; ++i) object.addStringValue("objs", "old", "s");
  ZArrayList_7_0_0 list(10, 1);
  Tagged first("first");
  OrnObject second("second");
  list.add(&first);
  list.add(&second);
  object.setObjectArrayValue("objs", list, "s");
  ASSERT_EQ(object.length("objs", "s"), 2u);
  OrnObject out0, out1;
  object.objectValue("objs", out0, 0, "s");
  object.objectValue("objs", out1, 1, "s");
  EXPECT_EQ(text(out0.getName()), "first");
  EXPECT_EQ(text(out0.getStringValue("kind", 0, nullptr)), "tagged");
  EXPECT_EQ(text(out1.getName()), "second");

  object.addObjectArrayValue("objs", list, "s");
  EXPECT_EQ(object.length("objs", "s"), 4u);
}

TEST(OrnObjectArrays, ABadObjectListChangesNothing) {
  OrnObject object;
  for (int i = 0; i < 5; ++i) object.addStringValue("objs", "old", nullptr);
  ZArrayList_7_0_0 list(10, 1);
  OrnObject good("good");
  Unencodable bad;
  list.add(&good);
  list.add(&bad);
  EXPECT_THROW(object.setObjectArrayValue("objs", list, nullptr), ZInvalidParameterException_7_0_0);
  EXPECT_THROW(object.addObjectArrayValue("objs", list, nullptr), ZInvalidParameterException_7_0_0);
  EXPECT_EQ(values(object, "objs", nullptr), std::vector<std::string>(5, "old"));
}

TEST(OrnObjectArrays, EmptyObjectListsAddNothingAndMakeNoScope) {
  OrnObject object;
  ZArrayList_7_0_0 empty(10, 1);
  object.addObjectArrayValue(nullptr, empty, "s");
  object.addObjectArrayValue("objs", empty, "s");
  object.setObjectArrayValue("objs", empty, "s");
  EXPECT_EQ(object.exist("s", nullptr), 0);
}

TEST(OrnObjectArrays, StringArraysAppendAndReplace) {
  OrnObject object;
  object.addStringValue("k", "a", nullptr).addStringValue("k", "b", nullptr).addStringValue("k", "c", nullptr);
  ZArrayList_7_0_0 out(10, 1);
  ZUTF8String_7_0_0 held("held");
  out.add(&held);
  object.stringArrayValue("k", out, nullptr);
  ASSERT_EQ(out.size(), 4);
  std::vector<std::string> got;
  for (int i = 0; i < out.size(); ++i) got.push_back(text(*static_cast<ZUTF8String_7_0_0*>(out.get(i))));
  EXPECT_EQ(got, (std::vector<std::string>{"held", "a", "b", "c"}));

  object.addStringArrayValue("k", out, nullptr);
  EXPECT_EQ(object.length("k", nullptr), 7u);
  ZArrayList_7_0_0 replacement(10, 1);
  ZLCString_7_0_0 x("x");  // any foundation string class
  replacement.add(&x);
  object.setStringArrayValue("k", replacement, nullptr);
  EXPECT_EQ(values(object, "k", nullptr), (std::vector<std::string>{"x"}));
}

TEST(OrnObjectArrays, SetStringArrayFromAListPointingAtTheNamesOwnValues) {
  OrnObject object;
  object.addStringValue("k", "a", "s").addStringValue("k", "b", "s");
  ZArrayList_7_0_0 view(10, 0);  // holds pointers into the object
  object.stringArrayValue("k", view, "s");
  object.setStringArrayValue("k", view, "s");
  EXPECT_EQ(values(object, "k", "s"), (std::vector<std::string>{"a", "b"}));
}

TEST(OrnObjectArrays, SetStringArrayWithAnEmptyListEmptiesTheNameAndMakesTheScope) {
  OrnObject object;
  ZArrayList_7_0_0 empty(10, 1);
  object.setStringArrayValue("k", empty, "new");
  EXPECT_EQ(object.length("k", "new"), 0u);
  object.addStringValue("k", "v", "old");
  object.setStringArrayValue("k", empty, "old");
  EXPECT_EQ(object.length("k", "old"), 0u);

  object.setStringArrayValue(nullptr, empty, "never");

  // The scopes are names without values now, which only the encoding shows.
  orn_asn_buffer_t buffer{0, nullptr};
  unsigned long status = 1;
  object.encode(buffer, status);
  ASSERT_EQ(status, 0u);
  std::string bytes(reinterpret_cast<char*>(buffer.data), buffer.length);
  orn_asn_buffer_free(&buffer);
  EXPECT_NE(bytes.find("new"), std::string::npos);
  EXPECT_NE(bytes.find("old"), std::string::npos);
  EXPECT_EQ(bytes.find("never"), std::string::npos);
}

// ---------------------------------------------------------------- attribute lists

const unsigned char kSeven[4] = {0, 0, 0, 7};
const unsigned char kBig[4] = {0xff, 0xff, 0xff, 0xfe};

TEST(OrnObjectAttrLists, FlatLayoutUnderAPrefix) {
  List list;
  list.str("attr", "text").uint("attr", kSeven);
  OrnObject object;
  object.v417_addAttrListValue_deprecated("p.", list.l, nullptr);
  EXPECT_EQ(values(object, "p.attrlistnames", nullptr), (std::vector<std::string>{"attr"}));
  EXPECT_EQ(values(object, "p.attr", nullptr), (std::vector<std::string>{"text", "7"}));
  EXPECT_EQ(values(object, "p.attrattrlistvaltype", nullptr), (std::vector<std::string>{"4", "5"}));

  List back;
  object.v417_attrListValue_deprecated("p.", back.l, nullptr);
  EXPECT_EQ(describe(back.l), "attr: 4'text' 5#7; ");
  List none;
  object.v417_attrListValue_deprecated("q.", none.l, nullptr);
  EXPECT_EQ(none.l.num_entries, 0u);
}

TEST(OrnObjectAttrLists, AllFourValueTypesRoundTripThroughTheNestedForm) {
  // A real encoded object for the type-3 value.
  orn_asn_buffer_t encoded{0, nullptr};
  unsigned long status = 0;
  nestedSample().encode(encoded, status);
  ASSERT_EQ(status, 0u);
  List list;
  list.str("Alpha", "a%s").bytes("alpha", ATTR_VALUE_BUFFER, "\x00\xff\x10", 3).uint("beta", kBig);
  list.bytes("gamma", ATTR_VALUE_POBJ, encoded.data, static_cast<unsigned int>(encoded.length));
  std::string expected = describe(list.l);
  orn_asn_buffer_free(&encoded);

  OrnObject object;
  object.addStringValue("attrs", "placeholder", "sc");
  object.setAttrListValue("attrs", list.l, 0, "sc");
  object.addAttrListValue("attrs", list.l, "sc");
  for (unsigned int index = 0; index < 2; ++index) {
    List back;
    object.attrListValue("attrs", back.l, index, "sc");
    EXPECT_EQ(describe(back.l), expected) << "index " << index;
  }

  // The scope applies twice: inside the nested object the keys live under
  // "sc" too, so reading with another scope finds the value but no keys.
  object.addAttrListValue("attrs", list.l, nullptr);
  List other;
  object.attrListValue("attrs", other.l, 0, nullptr);
  EXPECT_EQ(describe(other.l), expected);
  OrnObject nested;
  object.objectValue("attrs", nested, 0, "sc");
  EXPECT_EQ(nested.exist("attrlistnames", nullptr), 0);
  EXPECT_EQ(nested.length("attrlistnames", "sc"), 3u);  // Alpha/alpha is one attribute
  List wrongScope;
  nested.attrListValue_internal("", wrongScope.l, "elsewhere");
  EXPECT_EQ(wrongScope.l.num_entries, 0u);
}

TEST(OrnObjectAttrLists, ReadingAddsToTheCallersList) {
  List list;
  list.str("a", "new");
  OrnObject object;
  object.addAttrListValue("attrs", list.l, nullptr);
  List target;
  target.str("A", "held").str("z", "other");
  object.attrListValue("attrs", target.l, 0, nullptr);
  EXPECT_EQ(describe(target.l), "A: 4'held' 4'new'; z: 4'other'; ");
}

TEST(OrnObjectAttrLists, MergedListsReadBackEachStoredValueOnce) {
  List first, second;
  first.str("a", "1").str("b", "x");
  second.str("a", "2");
  OrnObject object;
  object.addAttrListValue_internal("", first.l, nullptr);
  object.addAttrListValue_internal("", second.l, nullptr);
  EXPECT_EQ(values(object, "attrlistnames", nullptr), (std::vector<std::string>{"a", "b", "a"}));
  List back;
  object.attrListValue_internal("", back.l, nullptr);
  EXPECT_EQ(describe(back.l), "a: 4'1' 4'2'; b: 4'x'; ");
}

TEST(OrnObjectAttrLists, AnEmptyBufferIsStoredEmptyAndLeftOutOnReading) {
  attrlist_s_t list{0, nullptr};
  value_s_t values_[2] = {{ATTR_VALUE_BUFFER, nullptr, 0, nullptr}, {ATTR_VALUE_STRING, const_cast<char*>("s"), 0, nullptr}};
  attr_s_t attribute{const_cast<char*>("a"), 2, values_};
  list.num_entries = 1;
  list.entries = &attribute;
  OrnObject object;
  object.addAttrListValue_internal("", list, nullptr);
  EXPECT_EQ(values(object, "a", nullptr), (std::vector<std::string>{"", "s"}));
  List back;
  EXPECT_NO_THROW(object.attrListValue_internal("", back.l, nullptr));
  EXPECT_EQ(describe(back.l), "a: 4's'; ");
}

TEST(OrnObjectAttrLists, OtherTypeCodesKeepLaterValuesInPlace) {
  // Hand-built: attribute lists hold codes other than 2 to 5 like buffers.
  unsigned char odd[2] = {1, 2};
  value_s_t v[4] = {{ATTR_VALUE_STRING, const_cast<char*>("a"), 0, nullptr},
                    {9, nullptr, 2, odd},
                    {ATTR_VALUE_UINT32, nullptr, 4, const_cast<unsigned char*>(kSeven)},
                    {ATTR_VALUE_UINT32, nullptr, 2, odd}};  // too short to be a number
  attr_s_t attribute{const_cast<char*>("x"), 4, v};
  attrlist_s_t list{1, &attribute};
  OrnObject object;
  object.addAttrListValue_internal("", list, nullptr);
  EXPECT_EQ(values(object, "xattrlistvaltype", nullptr), (std::vector<std::string>{"4", "9", "5"}));
  EXPECT_EQ(values(object, "x", nullptr), (std::vector<std::string>{"a", "", "7"}));
  List back;
  object.attrListValue_internal("", back.l, nullptr);
  EXPECT_EQ(describe(back.l), "x: 4'a' 5#7; ");
}

struct LayoutCase {
  const char* description;
  std::vector<const char*> types;
  std::vector<const char*> stored;
  const char* expected;
};

class StoredLayouts : public ::testing::TestWithParam<LayoutCase> {};

// Layouts written elsewhere: each value is taken from the position that
// belongs to its code, or not at all.
TEST_P(StoredLayouts, ValuesPairWithTheirCodes) {
  const LayoutCase& c = GetParam();
  OrnObject object;
  object.addStringValue("attrlistnames", "x", nullptr);
  for (const char* t : c.types) object.addStringValue("xattrlistvaltype", t, nullptr);
  for (const char* s : c.stored) object.addStringValue("x", s, nullptr);
  List back;
  object.attrListValue_internal("", back.l, nullptr);
  EXPECT_EQ(describe(back.l), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, StoredLayouts,
    ::testing::Values(
        LayoutCase{"OneValuePerCode", {"4", "9", "4"}, {"a", "", "b"}, "x: 4'a' 4'b'; "},
        LayoutCase{"NoValueForOtherCodes", {"4", "9", "5", "0"}, {"a", "12"}, "x: 4'a' 5#12; "},
        LayoutCase{"UncertainStopsAtTheFirstOtherCode", {"4", "9", "4"}, {"a", "b", "c", "d"}, "x: 4'a'; "},
        LayoutCase{"MoreCodesThanValues", {"4", "5", "4"}, {"a"}, "x: 4'a'; "},
        LayoutCase{"NonNumericCodeIsAnOtherCode", {"abc", "4"}, {"a"}, "x: 4'a'; "}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.description); });

// Keys are joined without a separator, so an attribute whose name ends in a
// layout suffix would write onto a layout key: its own list's names, another
// attribute's type codes, or the names of a list under a longer prefix.
// Such a list is refused whole, before anything is stored.
TEST(OrnObjectAttrLists, NamesThatWouldLandOnALayoutKeyAreRefused) {
  for (const char* reserved : {"attrlistnames", "attrlistvaltype", "xattrlistvaltype", "Xattrlistnames"}) {
    for (const char* prefix : {"", "p."}) {
      SCOPED_TRACE(std::string(prefix) + reserved);
      List list;
      list.str("x", "kept").str(reserved, "intruder").str("z", "last");
      OrnObject object;
      object.addStringValue("held", "1", nullptr);
      EXPECT_THROW(object.addAttrListValue_internal(prefix, list.l, nullptr), ZInvalidParameterException_7_0_0);
      EXPECT_THROW(object.addAttrListValue("attrs", list.l, nullptr), ZInvalidParameterException_7_0_0);
      EXPECT_THROW(object.setAttrListValue("held", list.l, 0, nullptr), ZInvalidParameterException_7_0_0);
      EXPECT_EQ(object.exist("attrs", nullptr), 0);
      EXPECT_EQ(object.exist((std::string(prefix) + "attrlistnames").c_str(), nullptr), 0);
      EXPECT_EQ(values(object, "held", nullptr), (std::vector<std::string>{"1"}));
      EXPECT_EQ(object.exist("x", nullptr), 0);
    }
  }
  // Names that only contain a suffix, or differ from one in letter case, are
  // ordinary names (the tree's keys are exact) and keep their layout.
  List list;
  list.str("attrlistnamesx", "a").str("ATTRLISTVALTYPE", "b").str("attrlistvaltypes", "c");
  OrnObject object;
  object.v417_addAttrListValue_deprecated("p.", list.l, nullptr);
  EXPECT_EQ(values(object, "p.attrlistnames", nullptr),
            (std::vector<std::string>{"attrlistnamesx", "ATTRLISTVALTYPE", "attrlistvaltypes"}));
  EXPECT_EQ(values(object, "p.ATTRLISTVALTYPEattrlistvaltype", nullptr), (std::vector<std::string>{"4"}));
  List back;
  object.v417_attrListValue_deprecated("p.", back.l, nullptr);
  EXPECT_EQ(describe(back.l), describe(list.l));
}

// Stored keys that contradict each other (written by hand or by an older
// writer): the list is reported, not read with one list's names or codes
// handed out as another attribute's values, and the caller's list is kept.
TEST(OrnObjectAttrLists, StoredListsWhoseKeysCollideAreReported) {
  OrnObject object;
  object.addStringValue("attrlistnames", "x", nullptr);
  object.addStringValue("attrlistnames", "xattrlistvaltype", nullptr);
  object.addStringValue("x", "kept", nullptr);
  object.addStringValue("xattrlistvaltype", "4", nullptr);
  List target;
  target.str("held", "1");
  EXPECT_THROW(object.attrListValue_internal("", target.l, nullptr), ZInvalidParameterException_7_0_0);
  EXPECT_EQ(describe(target.l), "held: 4'1'; ");
}

TEST(OrnObjectAttrLists, AnEmptyListWritesNothing) {
  OrnObject object;
  attrlist_s_t empty{0, nullptr};
  object.addAttrListValue_internal("p", empty, "s");
  EXPECT_EQ(object.exist("s", nullptr), 0);
  object.addAttrListValue("attrs", empty, nullptr);  // an empty nested object
  List back;
  object.attrListValue("attrs", back.l, 0, nullptr);
  EXPECT_EQ(back.l.num_entries, 0u);
}

}  // namespace
