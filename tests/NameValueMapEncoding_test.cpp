// The tree's encodings: wire round trips, the kelobj_t record, node trees,
// and conversion to and from attribute lists with prefixed flattening.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "KelCore/attrlist.h"
#include "util/NameValueMap.h"

namespace {

using Strings = std::vector<std::string>;

// "name=v1|v2{child...}" per name, in key order, recursively.
std::string dump(const NameValueMap& map) {
  ZArrayList_7_0_0 names(10, 0);
  map.getNames(names);
  std::string out;
  for (int i = 0; i < names.size(); ++i) {
    const char* name = static_cast<ZAbstractString_7_0_0*>(names.get(i))->getChars();
    out += std::string(name) + "=";
    for (unsigned int v = 0; v < map.getValueCount(name); ++v)
      out += (v ? "|" : "") + std::string(map.getString(name, v)->getChars());
    if (map.getSubtreeCount(name)) out += "{" + dump(*map.getSubtree(name)) + "}";
    out += ";";
  }
  return out;
}

std::string dump(const attrlist_s_t& list) {
  std::string out;
  for (unsigned int i = 0; i < list.num_entries; ++i) {
    out += std::string(list.entries[i].name) + "=";
    for (unsigned int v = 0; v < list.entries[i].num_values; ++v) {
      const value_s_t& val = list.entries[i].values[v];
      EXPECT_EQ(val.type, static_cast<unsigned int>(ATTR_VALUE_STRING));
      out += (v ? "|" : "") + std::string(val.str);
    }
    out += ";";
  }
  return out;
}

struct OwnedList {
  attrlist_s_t list{0, nullptr};
  ~OwnedList() {
    for (unsigned int i = 0; i < list.num_entries; ++i) attr_free(&list.entries[i]);
    std::free(list.entries);
  }
};

NameValueMap sample() {
  NameValueMap map;
  map.addString("a", "1");
  map.addSubtree("a")->addString("b", "2");
  map.addString("", "");  // empty name, empty value
  NameValueMap* deep = map.addSubtree("s");
  for (int i = 0; i < 10; ++i) deep = deep->addSubtree("d");
  deep->addString("leaf", "\x01\xff binary");
  map.addSubtree("empty");  // an entry with nothing in it
  return map;
}

TEST(NameValueMapEncoding, BufferRoundTripAndDecodingAppends) {
  NameValueMap map = sample();
  orn_asn_buffer_t buffer{0, nullptr};
  unsigned long status = 99;
  map.encode(buffer, status);
  ASSERT_EQ(status, 0u);
  NameValueMap back;
  back.decode(buffer, status);
  ASSERT_EQ(status, 0u);
  EXPECT_EQ(dump(back), dump(map));
  back.decode(buffer, status);  // twice: every value list doubles
  EXPECT_EQ(back.getValueCount("a"), 2u);
  EXPECT_EQ(back.getSubtree("a")->getValueCount("b"), 2u);
  orn_asn_buffer_free(&buffer);
}

// The bytes list the names of every level in the order they were first
// added, never in the order of the hash table, whose seed changes from one
// process to the next: the expected bytes are the node codec's of nodes in
// that order, and a decode keeps it.
TEST(NameValueMapEncoding, NamesGoOutInTheOrderTheyCameInWhateverTheHash) {
  constexpr int kNames = 300;
  NameValueMap map;
  std::vector<std::string> names, childNames;
  for (int i = kNames; i-- > 0;) names.push_back("name" + std::to_string(i * 7919 % 1000));
  for (int i = 0; i < 20; ++i) childNames.push_back("c" + std::to_string(19 - i));
  for (const std::string& name : names) map.addString(name.c_str(), name.c_str());
  for (const std::string& child : childNames) map.addSubtree(names[0].c_str())->addString(child.c_str(), "v");

  std::vector<namevalue_s_t> children(childNames.size());
  std::vector<namevalue_s_t*> childPointers;
  const char* v = "v";
  for (std::size_t i = 0; i < childNames.size(); ++i) {
    children[i] = namevalue_s_t{childNames[i].c_str(), 1, &v, 0, nullptr};
    childPointers.push_back(&children[i]);
  }
  std::vector<namevalue_s_t> nodes(names.size());
  std::vector<const char*> texts;
  for (const std::string& name : names) texts.push_back(name.c_str());
  std::vector<namevalue_s_t*> entries;
  for (std::size_t i = 0; i < names.size(); ++i) {
    nodes[i] = namevalue_s_t{texts[i], 1, &texts[i], 0, nullptr};
    entries.push_back(&nodes[i]);
  }
  nodes[0].num_subtrees = static_cast<unsigned int>(childPointers.size());
  nodes[0].subtrees = childPointers.data();
  namevalueList_s_t list{static_cast<unsigned int>(entries.size()), entries.data()};
  orn_asn_buffer_t expected{0, nullptr};
  ASSERT_EQ(ornAsnEncodeObj(expected, list), 0);

  orn_asn_buffer_t encoded{0, nullptr};
  unsigned long status = 1;
  map.encode(encoded, status);
  ASSERT_EQ(status, 0u);
  ASSERT_EQ(encoded.length, expected.length);
  EXPECT_EQ(std::memcmp(encoded.data, expected.data, expected.length), 0);

  NameValueMap decoded;
  decoded.decode(encoded, status);
  ASSERT_EQ(status, 0u);
  orn_asn_buffer_t again{0, nullptr};
  decoded.encode(again, status);
  ASSERT_EQ(again.length, expected.length);
  EXPECT_EQ(std::memcmp(again.data, expected.data, expected.length), 0);
  orn_asn_buffer_free(&expected);
  orn_asn_buffer_free(&encoded);
  orn_asn_buffer_free(&again);
}

TEST(NameValueMapEncoding, FailedDecodeChangesNothing) {
  NameValueMap map;
  map.addString("kept", "1");
  unsigned char junk[] = {0x30, 0x05, 0x30};
  orn_asn_buffer_t buffer{sizeof junk, junk};
  unsigned long status = 0;
  map.decode(buffer, status);
  EXPECT_EQ(status, static_cast<unsigned long>(ORN_ASN_E_TRUNCATED));
  EXPECT_EQ(dump(map), "kept=1;");
}

TEST(NameValueMapEncoding, KelobjRecordCarriesTheBuffer) {
  NameValueMap map = sample();
  kelobj_t record{111, 222, 7, 333, nullptr};
  unsigned long status = 99;
  map.encode(record, status);
  ASSERT_EQ(status, 0u);
  EXPECT_EQ(record.head0, 0u);
  EXPECT_EQ(record.head1, 0u);
  EXPECT_EQ(record.tag, 7u);
  ASSERT_NE(record.data, nullptr);
  NameValueMap back;
  back.decode(record, status);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(dump(back), dump(map));
  orn_asn_buffer_t owned{record.length, record.data};
  orn_asn_buffer_free(&owned);
}

TEST(NameValueMapEncoding, NodeTreeMirrorsTheMap) {
  NameValueMap map;
  map.addString("n", "1");
  map.addString("n", "2");
  map.addSubtree("n");  // empty subtree
  map.addSubtree("t")->addString("c", "3");
  namevalue_s_t node;
  map.encodeMap(&node, "n");
  EXPECT_STREQ(node.name, "n");
  ASSERT_EQ(node.num_values, 2u);
  EXPECT_STREQ(node.values[1], "2");
  EXPECT_EQ(node.num_subtrees, 0u);
  EXPECT_EQ(node.subtrees, nullptr);
  map.freeMap(&node);
  EXPECT_EQ(node.values, nullptr);

  map.encodeMap(&node, "t");
  ASSERT_EQ(node.num_subtrees, 1u);
  EXPECT_STREQ(node.subtrees[0]->name, "c");
  NameValueMap fromNode(node);
  EXPECT_EQ(dump(fromNode), "t={c=3;};");
  map.freeMap(&node);
  EXPECT_EQ(node.num_subtrees, 0u);
  EXPECT_EQ(node.subtrees, nullptr);
}

TEST(NameValueMapEncoding, EmptyMapEncodesAnEmptyList) {
  NameValueMap map;
  orn_asn_buffer_t buffer{0, nullptr};
  unsigned long status = 99;
  map.encode(buffer, status);
  ASSERT_EQ(status, 0u);
  ASSERT_EQ(buffer.length, 2u);
  EXPECT_EQ(buffer.data[0], 0x30);
  EXPECT_EQ(buffer.data[1], 0x00);
  orn_asn_buffer_free(&buffer);
}

// The bytes the node codec makes of encodeMap()'s nodes: what encode()
// must produce without building them.
std::vector<unsigned char> nodeCodecBytes(const NameValueMap& map, int& status) {
  ZArrayList_7_0_0 names(10, 0);
  map.getNames(names);
  std::vector<namevalue_s_t> nodes(static_cast<std::size_t>(names.size()));
  std::vector<namevalue_s_t*> entries;
  for (int i = 0; i < names.size(); ++i) {
    map.encodeMap(&nodes[i], static_cast<ZAbstractString_7_0_0*>(names.get(i))->getChars());
    entries.push_back(&nodes[i]);
  }
  namevalueList_s_t list{static_cast<unsigned int>(entries.size()), entries.empty() ? nullptr : entries.data()};
  orn_asn_buffer_t buffer{0, nullptr};
  status = ornAsnEncodeObj(buffer, list);
  std::vector<unsigned char> bytes(buffer.data, buffer.data + (status ? 0 : buffer.length));
  orn_asn_buffer_free(&buffer);
  for (namevalue_s_t& node : nodes) map.freeMap(&node);
  return bytes;
}

struct WireCase {
  const char* description;
  std::function<void(NameValueMap&)> fill;
};

class NameValueMapWire : public ::testing::TestWithParam<WireCase> {};

TEST_P(NameValueMapWire, EncodesTheBytesTheNodeCodecMakesOfItsNodes) {
  NameValueMap map;
  GetParam().fill(map);
  int expectedStatus = 0;
  std::vector<unsigned char> expected = nodeCodecBytes(map, expectedStatus);
  unsigned char sentinel = 0;
  orn_asn_buffer_t buffer{12345, &sentinel};
  unsigned long status = 99;
  map.encode(buffer, status);
  ASSERT_EQ(status, static_cast<unsigned long>(expectedStatus));
  if (status != 0) {
    EXPECT_EQ(buffer.length, 12345u);  // a failure leaves the buffer alone
    EXPECT_EQ(buffer.data, &sentinel);
    return;
  }
  ASSERT_NE(buffer.data, &sentinel);
  EXPECT_EQ(std::vector<unsigned char>(buffer.data, buffer.data + buffer.length), expected);
  orn_asn_buffer_free(&buffer);
}

NameValueMap* nest(NameValueMap& map, int levels) {
  NameValueMap* at = &map;
  for (int i = 1; i < levels; ++i) at = at->addSubtree("d");
  return at;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, NameValueMapWire,
    ::testing::Values(
        WireCase{"empty", [](NameValueMap&) {}},
        WireCase{"sample", [](NameValueMap& m) { m = sample(); }},
        WireCase{"long_forms",
                 [](NameValueMap& m) {
                   m.addString("a", std::string(127, 'x').c_str());
                   m.addString("a", std::string(128, 'y').c_str());
                   m.addString(std::string(300, 'n').c_str(), std::string(70000, 'z').c_str());
                   for (int i = 0; i < 300; ++i) m.addSubtree("many")->addString(std::to_string(i).c_str(), "v");
                 }},
        WireCase{"texts_cut_at_nul",
                 [](NameValueMap& m) {
                   // Texts are handed on NUL-terminated: a NUL inside ends them.
                   for (std::size_t length : {3u, 9u, 16u, 40u}) {
                     std::string text(length, 'q');
                     text[length / 2] = '\0';
                     ZUTF8String_7_0_0 value(text.data(), text.size());
                     m.addValue("cut", &value);
                   }
                 }},
        WireCase{"values_that_are_not_utf8_strings",
                 [](NameValueMap& m) {
                   ZLCString_7_0_0 local("local text");
                   m.addValue("kinds", &local);
                   ZUTF8ConstString_7_0_0 view("a view of a text", 6);
                   m.addValue("kinds", &view);
                   NameValueMap notAString;
                   m.addValue("kinds", &notAString);  // encodes as the empty text
                   m.getValues("kinds")->add(nullptr);
                 }},
        WireCase{"emptied_names_stay",
                 [](NameValueMap& m) {
                   m.addString("gone", "1");
                   m.removeValue("gone", 0);
                   m.addSubtree("bare");
                   m.addString("kept", "2");
                 }},
        WireCase{"nodes_either_side_of_one_byte_lengths",
                 [](NameValueMap& m) {
                   // A name and one value filling a node's content to 125
                   // to 129 bytes (one-byte lengths end at 127), for names
                   // short and long, up to one with no room for values.
                   char fill = 'A';
                   for (std::size_t name : {1u, 7u, 15u, 120u, 121u, 122u, 127u, 128u}) {
                     for (std::size_t content = 125; content <= 129; ++content, ++fill) {
                       if (content < name + 10) continue;
                       m.addString(std::string(name, fill).c_str(), std::string(content - name - 8, 'v').c_str());
                     }
                   }
                   // Names alone (no values) of 121 to 123 bytes: content
                   // of 127 to 129.
                   for (std::size_t name : {121u, 122u, 123u}) {
                     std::string text(name, fill++);
                     m.addString(text.c_str(), "x");
                     m.removeValue(text.c_str(), 0);
                   }
                   // Many short values crossing 127 part way, the last one
                   // a NUL-cut text of a string class of its own.
                   for (int i = 0; i < 40; ++i) m.addString("many", "vv");
                   ZLCString_7_0_0 local("local");
                   m.addValue("many", &local);
                 }},
        WireCase{"texts_of_every_short_length",
                 [](NameValueMap& m) {
                   // Short texts are copied by overlapping moves whose
                   // widths depend on the length: each length from 0 to 20
                   // as a name and as a value, alone and among others.
                   for (std::size_t length = 0; length <= 20; ++length) {
                     std::string text;
                     for (std::size_t i = 0; i < length; ++i) text += static_cast<char>('a' + (i + length) % 26);
                     m.addString(text.c_str(), text.c_str());
                     m.addString("all", text.c_str());
                   }
                 }},
        WireCase{"deepest_accepted", [](NameValueMap& m) { nest(m, ORN_ASN_MAX_DEPTH)->addString("leaf", "v"); }},
        WireCase{"one_level_too_deep",
                 [](NameValueMap& m) {
                   m.addString(std::string(1000, 'b').c_str(), "big before the deep part");
                   nest(m, ORN_ASN_MAX_DEPTH + 1)->addString("leaf", "v");
                 }},
        WireCase{"too_deep_but_empty_at_the_bottom",
                 [](NameValueMap& m) { nest(m, ORN_ASN_MAX_DEPTH)->addSubtree("empty"); }}),
    [](const ::testing::TestParamInfo<WireCase>& info) { return std::string(info.param.description); });

// encode() sizes its block, and the room for the outermost header, from the
// thread's previous encoding: one of the same length, a shorter one, one a
// little longer and one far longer (a grown block), with short and long
// header forms at the front, must all come out right.
TEST(NameValueMapEncoding, EncodingsOfMapsOfOneSizeComeOutRightWhateverTheirLength) {
  std::thread([] {
    // Encodings of a few bytes to 9 MB: as long as the last one, shorter,
    // longer, far longer and far shorter, below and above the 4 MiB that a
    // block sized from bytes per name may reach.
    for (std::size_t length : {10u, 10u, 5u, 12u, 40u, 300u, 70000u, 1u, 70000u, 70001u, 0u, 70000u, 2000000u,
                               2000000u, 1999999u, 3000000u, 10u, 2000000u}) {
      SCOPED_TRACE(::testing::Message() << "value length " << length);
      NameValueMap map;
      for (const char* name : {"a", "b", "c"}) map.addString(name, std::string(length, 'v').c_str());
      int expectedStatus = -1;
      std::vector<unsigned char> expected = nodeCodecBytes(map, expectedStatus);
      ASSERT_EQ(expectedStatus, 0);
      orn_asn_buffer_t buffer{0, nullptr};
      unsigned long status = 99;
      map.encode(buffer, status);
      ASSERT_EQ(status, 0u);
      EXPECT_EQ(std::vector<unsigned char>(buffer.data, buffer.data + buffer.length), expected);
      orn_asn_buffer_free(&buffer);
    }
  }).join();
}

// A value of a class of the caller's whose text is not the same from one
// read to the next: the encoder reads a text twice where it sizes a node
// before writing it, and must stop rather than write past the room it made.
class ChangingText : public ZAbstractString_7_0_0 {
 public:
  ChangingText() : ZAbstractString_7_0_0("", 0) {}
  ZObject_7_0_0* clone() const override { return new ChangingText; }
  const char* getChars() const override { return ++reads_ % 2 ? "short" : "a much longer text than the first"; }
  std::size_t getLength() const override { return std::strlen(getChars()); }

 private:
  mutable int reads_ = 0;
};

TEST(NameValueMapEncoding, AValueWhoseTextChangesWhileEncodedStopsTheEncoding) {
  for (int nested = 0; nested < 2; ++nested) {
    SCOPED_TRACE(nested ? "in a subtree" : "at the top");
    NameValueMap map;
    map.addString("before", "1");
    NameValueMap* level = nested ? map.addSubtree("scope") : &map;
    ChangingText value;
    level->addValue("changing", &value);
    map.addString("after", std::string(300, 'x').c_str());
    unsigned char sentinel = 0;
    orn_asn_buffer_t buffer{7, &sentinel};
    unsigned long status = 0;
    map.encode(buffer, status);
    EXPECT_EQ(status, static_cast<unsigned long>(ORN_ASN_E_PARAM));
    EXPECT_EQ(buffer.length, 7u);
    EXPECT_EQ(buffer.data, &sentinel);
  }
}

TEST(NameValueMapEncoding, FromAttributeListByValueType) {
  const unsigned char number[] = {0, 0, 1, 0};
  const unsigned char shortNumber[] = {1, 2};
  const unsigned char bytes[] = {'a', 'b', 'c'};
  value_s_t values[] = {
      {ATTR_VALUE_STRING, const_cast<char*>("text"), 0, nullptr},
      {ATTR_VALUE_UINT32, nullptr, 4, const_cast<unsigned char*>(number)},
      {ATTR_VALUE_BUFFER, nullptr, 3, const_cast<unsigned char*>(bytes)},
      {ATTR_VALUE_POBJ, nullptr, 3, const_cast<unsigned char*>(bytes)},
      {9, nullptr, 3, const_cast<unsigned char*>(bytes)},                       // unknown: skipped
      {ATTR_VALUE_UINT32, nullptr, 2, const_cast<unsigned char*>(shortNumber)},  // no 4 bytes: skipped
  };
  attr_s_t attribute{const_cast<char*>("Attr"), 6, values};
  attrlist_s_t list{1, &attribute};
  NameValueMap map(list);
  EXPECT_EQ(dump(map), "Attr=text|256|YWJj|YWJj;");

  // Back out, every value is a string: buffers stay Base64, numbers decimal.
  OwnedList out;
  map.toAttrlist(out.list);
  EXPECT_EQ(dump(out.list), "Attr=text|256|YWJj|YWJj;");
}

TEST(NameValueMapEncoding, ToAttrlistFlattensWithPrefixes) {
  NameValueMap map;
  map.addString("a", "1");
  map.addSubtree("a")->addString("b", "2");
  NameValueMap* x = map.addSubtree("x");
  x->addSubtree("y")->addString("z", "3");
  map.addString("A", "4");  // one attribute with "a" in a list
  OwnedList out;
  out.list.num_entries = 0;
  map.toAttrlist(out.list);
  EXPECT_EQ(dump(out.list), "a=1|4;ab=2;xyz=3;");
  // The target is added to, not cleared.
  map.toAttrlist(out.list);
  EXPECT_EQ(dump(out.list), "a=1|4|1|4;ab=2|2;xyz=3|3;");
}

}  // namespace
