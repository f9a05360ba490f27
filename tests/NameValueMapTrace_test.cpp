// The trace text of a tree, line by line: indents, value blocks, subtrees,
// masked secrets and the per-level obfuscation flag; values holding encoded
// trees rendered as trees with the same masking, to any depth.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "foundation/zexception.h"
#include "tests/support/alloc_hook.h"
#include "tests/support/child_process.h"
#include "tests/support/secret_forms.h"
#include "util/NameValueMap.h"
#include "util/mime64_new.h"

namespace {

using Lines = std::vector<std::string>;

// Splits at "\n"; the text must end with one.
Lines render(const NameValueMap& map, int depth = 0, const char* start = "") {
  ZUTF8String_7_0_0 out(start);
  map.buildTraceBuf(out, depth);
  std::string text = out.getChars();
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  Lines lines;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find('\n', from)) != std::string::npos; from = at + 1)
    lines.push_back(text.substr(from, at - from));
  return lines;
}

TEST(NameValueMapTrace, WorkedExample) {
  NameValueMap map;
  map.addString("a", "x");
  NameValueMap* s = map.addSubtree("s");
  s->addString("b", "y");
  s->addString("b", "z");
  EXPECT_EQ(render(map), (Lines{"\tnumber of entries = 2", "\tnum values = 1\ta = x", "\ts is a subtree",
                                "\t\tnumber of entries = 1", "\t\tnum values = 2\tb = ", "\t\t\t\ty",
                                "\t\t\t\tz"}));
}

TEST(NameValueMapTrace, AppendsAndIndentsByDepth) {
  NameValueMap empty;
  EXPECT_EQ(render(empty, 0, "prefix:"), (Lines{"prefix:\tnumber of entries = 0"}));
  NameValueMap map;
  map.addString("n", "v");
  map.addSubtree("s")->addString("c", "w");
  EXPECT_EQ(render(map, 1), (Lines{"\t\tnumber of entries = 2", "\t\tnum values = 1\tn = v", "\ts is a subtree",
                                   "\t\t\tnumber of entries = 1", "\t\t\tnum values = 1\tc = w"}));
  EXPECT_EQ(render(empty, -1), (Lines{"number of entries = 0"}));
}

TEST(NameValueMapTrace, EdgesOfOneName) {
  NameValueMap map;
  map.addSubtree("nothing");                  // no values, empty subtree
  map.addString("hidden", "v");               // values of a name with a subtree are not shown
  map.addSubtree("hidden")->addString("c", "1");
  map.addString("resourceuserid", "-signon@%null");
  map.addString("other", "-signon@%null");
  EXPECT_EQ(render(map), (Lines{"\tnumber of entries = 4", "\tnum values = 0\tnothing = ", "\thidden is a subtree",
                                "\t\tnumber of entries = 1", "\t\tnum values = 1\tc = 1",
                                "\tnum values = 1\tresourceuserid = -signon@null",
                                "\tnum values = 1\tother = -signon@%null"}));
}

TEST(NameValueMapTrace, SecretNamesAreMaskedExactly) {
  NameValueMap map;
  map.addString("password", "s1");
  map.addString("password", "s2");
  for (const char* name : {"pwd", "resourcepassword", "server_pwd"}) map.addString(name, "s3");
  map.addString("PASSWORD", "shown");
  EXPECT_EQ(render(map), (Lines{"\tnumber of entries = 5", "\tnum values = 2\tpassword = ", "\t\t\t\t******",
                                "\t\t\t\t******", "\tnum values = 1\tpwd = ******",
                                "\tnum values = 1\tresourcepassword = ******",
                                "\tnum values = 1\tserver_pwd = ******", "\tnum values = 1\tPASSWORD = shown"}));
}

struct ObfuscateCase {
  const char* description;
  const char* flag;  // value of "obfuscate", or null for none
  bool flagHasSubtree;
  bool masked;
};

class NameValueMapObfuscate : public ::testing::TestWithParam<ObfuscateCase> {};

TEST_P(NameValueMapObfuscate, MasksValueOnlyWhenTheFlagIsTrue) {
  NameValueMap map;
  if (GetParam().flag) map.addString("obfuscate", GetParam().flag);
  if (GetParam().flagHasSubtree) map.addSubtree("obfuscate")->addString("x", "1");
  map.addString("value", "secret");
  ZUTF8String_7_0_0 out;
  map.buildTraceBuf(out, 0);
  std::string text = out.getChars();
  EXPECT_EQ(text.find("value = secret") == std::string::npos, GetParam().masked) << text;
  EXPECT_EQ(text.find("value = ******") != std::string::npos, GetParam().masked) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NameValueMapObfuscate,
    ::testing::Values(ObfuscateCase{"true", "true", false, true}, ObfuscateCase{"false", "false", false, false},
                      ObfuscateCase{"absent", nullptr, false, false},
                      ObfuscateCase{"upper_case_true", "TRUE", false, false},
                      ObfuscateCase{"flag_with_subtree", "true", true, false}),
    [](const ::testing::TestParamInfo<ObfuscateCase>& info) { return info.param.description; });

TEST(NameValueMapTrace, ObfuscationBelongsToOneLevel) {
  NameValueMap map;
  map.addString("obfuscate", "true");
  map.addString("value", "top");
  NameValueMap* plain = map.addSubtree("plain");
  plain->addString("value", "shown");
  NameValueMap* own = map.addSubtree("own");
  own->addString("obfuscate", "true");
  own->addString("value", "inner");
  EXPECT_EQ(render(map), (Lines{"\tnumber of entries = 4", "\tnum values = 1\tobfuscate = true",
                                "\tnum values = 1\tvalue = ******", "\tplain is a subtree",
                                "\t\tnumber of entries = 1", "\t\tnum values = 1\tvalue = shown", "\town is a subtree",
                                "\t\tnumber of entries = 2", "\t\tnum values = 1\tobfuscate = true",
                                "\t\tnum values = 1\tvalue = ******"}));
}

// ---------------------------------------------------------------- values holding encoded trees

std::string encoded(const NameValueMap& map) {
  orn_asn_buffer_t buffer{0, nullptr};
  unsigned long status = 1;
  map.encode(buffer, status);
  EXPECT_EQ(status, 0u);
  std::string bytes(reinterpret_cast<const char*>(buffer.data), buffer.length);
  orn_asn_buffer_free(&buffer);
  return bytes;
}

// Stores `map` under `name` as a nested object is stored: Base64 of its
// wire form.
void addTree(NameValueMap& level, const char* name, const NameValueMap& map) {
  std::string bytes = encoded(map);
  level.addString(name, bytes.data(), static_cast<unsigned int>(bytes.size()));
}

NameValueMap treeOf(std::initializer_list<std::pair<const char*, const char*>> values) {
  NameValueMap map;
  for (const auto& value : values) map.addString(value.first, value.second);
  return map;
}

TEST(NameValueMapTraceNested, TreesRenderInPlaceOfTheirTextPlainValuesAsTheyStand) {
  NameValueMap map;
  addTree(map, "cfg", treeOf({{"user", "alice"}, {"password", "hunter2"}}));
  addTree(map, "list", treeOf({{"a", "1"}}));
  map.addString("list", "plain");
  addTree(map, "list", NameValueMap());
  // Base64 that is not an encoded tree, and texts close to one.
  for (const char* text : {"MDEy", "MAAA", "MAB=", "MAA", "Mozilla/5.0"}) map.addString("shown", text);
  EXPECT_EQ(render(map),
            (Lines{"\tnumber of entries = 3", "\tnum values = 1\tcfg = (object)", "\t\tnumber of entries = 2",
                   "\t\tnum values = 1\tuser = alice", "\t\tnum values = 1\tpassword = ******",
                   "\tnum values = 3\tlist = ", "\t\t\t\t(object)", "\t\tnumber of entries = 1",
                   "\t\tnum values = 1\ta = 1", "\t\t\t\tplain", "\t\t\t\t(object)", "\t\tnumber of entries = 0",
                   "\tnum values = 5\tshown = ", "\t\t\t\tMDEy", "\t\t\t\tMAAA", "\t\t\t\tMAB=", "\t\t\t\tMAA",
                   "\t\t\t\tMozilla/5.0"}));
}

unsigned long decodeStatus(const std::string& bytes) {
  NameValueMap map;
  orn_asn_buffer_t buffer{bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()))};
  unsigned long status = 0;
  map.decode(buffer, status);
  return status;
}

// One DER element: the tag, the shortest definite length, the content.
std::string der(unsigned char tag, const std::string& content) {
  std::string length;
  std::size_t n = content.size();
  if (n < 128) {
    length = std::string(1, static_cast<char>(n));
  } else {
    for (; n; n >>= 8) length.insert(length.begin(), static_cast<char>(n & 0xff));
    length.insert(length.begin(), static_cast<char>(0x80 | length.size()));
  }
  return std::string(1, static_cast<char>(tag)) + length + content;
}

// The encoding of a tree nested `levels` deep through subtrees named "d",
// with `name` = `value` at the bottom. Past ORN_ASN_MAX_DEPTH the encoder
// refuses to make it, so the levels above are wrapped by hand.
std::string deepEncoding(int levels, const char* name, const std::string& value) {
  int made = levels < ORN_ASN_MAX_DEPTH ? levels : ORN_ASN_MAX_DEPTH;
  NameValueMap top;
  NameValueMap* level = &top;
  for (int i = 1; i < made; ++i) level = level->addSubtree("d");
  level->addString(name, value.c_str());
  std::string bytes = encoded(top);
  for (int i = made; i < levels; ++i) {
    // The list's nodes become the subtrees of one new node "d" without values.
    std::string nodes = bytes.substr(bytes[1] & 0x80 ? 2 + (bytes[1] & 0x7f) : 2);
    bytes = der(0x30, der(0x30, der(0x04, "d") + der(0x30, "") + der(0x30, nodes)));
  }
  return bytes;
}

struct SecretCase {
  const char* description;
  // Fills the map; the secret is its argument. Every case also holds the
  // plain value "visible" somewhere next to the secret.
  std::function<void(NameValueMap&, const std::string&)> build;
};

void PrintTo(const SecretCase& c, std::ostream* os) { *os << c.description; }

class NameValueMapTraceSecret : public ::testing::TestWithParam<SecretCase> {};

TEST_P(NameValueMapTraceSecret, NoFormOfTheSecretIsTraced) {
  const std::string secret = std::string("Qz8!secret-") + GetParam().description + "-end";
  NameValueMap map;
  GetParam().build(map, secret);
  ZUTF8String_7_0_0 out;
  map.buildTraceBuf(out, 0);
  std::string text(out.getChars(), out.getLength());
  for (const std::string& form : ornutil_test::secretForms(secret)) EXPECT_EQ(text.find(form), std::string::npos) << form << "\n" << text;
  EXPECT_NE(text.find("visible"), std::string::npos) << text;
  EXPECT_NE(text.find("******"), std::string::npos) << text;
}

// The trace made straight from an encoding is the decoded tree's.
std::string traceOfEncoding(const std::string& bytes, int depth) {
  orn_asn_buffer_t buffer{bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()))};
  std::string text;
  unsigned long status = 99;
  NameValueMap::traceEncoded(
      buffer, depth,
      [](void* to, char const* piece, std::size_t length) { static_cast<std::string*>(to)->append(piece, length); },
      &text, status);
  EXPECT_EQ(status, 0u);
  return text;
}

std::string traceOfDecoded(const std::string& bytes, int depth) {
  NameValueMap map;
  orn_asn_buffer_t buffer{bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()))};
  unsigned long status = 99;
  map.decode(buffer, status);
  EXPECT_EQ(status, 0u);
  ZUTF8String_7_0_0 out;
  map.buildTraceBuf(out, depth);
  return std::string(out.getChars(), out.getLength());
}

TEST_P(NameValueMapTraceSecret, AnEncodingTracesAsItsDecodedTree) {
  NameValueMap map;
  GetParam().build(map, "Qz8!secret");
  std::string bytes = encoded(map);
  EXPECT_EQ(traceOfEncoding(bytes, 0), traceOfDecoded(bytes, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NameValueMapTraceSecret,
    ::testing::Values(
        SecretCase{"Depth1",
                   [](NameValueMap& m, const std::string& s) {
                     addTree(m, "cfg", treeOf({{"user", "visible"}, {"password", s.c_str()}}));
                   }},
        SecretCase{"Depth2InASubtreeOfATree",
                   [](NameValueMap& m, const std::string& s) {
                     NameValueMap middle;
                     addTree(*middle.addSubtree("scope"), "inner", treeOf({{"pwd", s.c_str()}}));
                     middle.addString("note", "visible");
                     addTree(m, "cfg", middle);
                   }},
        SecretCase{"Depth3",
                   [](NameValueMap& m, const std::string& s) {
                     NameValueMap two, one;
                     addTree(two, "three", treeOf({{"server_pwd", s.c_str()}, {"host", "visible"}}));
                     addTree(one, "two", two);
                     addTree(m, "one", one);
                   }},
        SecretCase{"ObjectArray",
                   [](NameValueMap& m, const std::string& s) {
                     addTree(m, "list", treeOf({{"user", "visible"}}));
                     addTree(m, "list", treeOf({{"resourcepassword", s.c_str()}}));
                   }},
        SecretCase{"ObfuscatedValueInATree",
                   [](NameValueMap& m, const std::string& s) {
                     addTree(m, "cfg", treeOf({{"obfuscate", "true"}, {"value", s.c_str()}, {"v", "visible"}}));
                   }},
        SecretCase{"FlatAttributeListUnderAPrefix",
                   [](NameValueMap& m, const std::string& s) {
                     for (const char* name : {"user", "password"}) m.addString("credattrlistnames", name);
                     m.addString("creduser", "visible");
                     m.addString("creduserattrlistvaltype", "4");
                     m.addString("credpassword", s.c_str());
                     m.addString("credpasswordattrlistvaltype", "4");
                   }},
        SecretCase{"FlatAttributeListObfuscated",
                   [](NameValueMap& m, const std::string& s) {
                     for (const char* name : {"obfuscate", "value"}) m.addString("pattrlistnames", name);
                     m.addString("pobfuscate", "true");
                     m.addString("pvalue", s.c_str());
                     m.addString("value", "visible");  // another level's flag: shown
                   }},
        SecretCase{"ObjectCodeWithATree",
                   [](NameValueMap& m, const std::string& s) {
                     m.addString("attrlistnames", "blob");
                     addTree(m, "blob", treeOf({{"password", s.c_str()}, {"u", "visible"}}));
                     m.addString("blobattrlistvaltype", "3");
                   }},
        SecretCase{"ObjectCodeWithoutATree",
                   [](NameValueMap& m, const std::string& s) {
                     m.addString("attrlistnames", "blob");
                     m.addString("blob", "visible");  // code 4: shown
                     m.addString("blob", s.c_str());  // code 3, does not decode: masked
                     m.addString("blobattrlistvaltype", "4");
                     m.addString("blobattrlistvaltype", "3");
                   }},
        SecretCase{"ObjectCodeOutOfStepWithTheValues",
                   [](NameValueMap& m, const std::string& s) {
                     m.addString("attrlistnames", "blob");
                     m.addString("blob", s.c_str());
                     m.addString("blob", "other");
                     m.addString("blobattrlistvaltype", "3");
                     m.addString("note", "visible");
                   }},
        SecretCase{"TooDeepForTheDecoder",
                   [](NameValueMap& m, const std::string& s) {
                     EXPECT_EQ(decodeStatus(deepEncoding(ORN_ASN_MAX_DEPTH, "note", s)), 0u);
                     std::string bytes = deepEncoding(ORN_ASN_MAX_DEPTH + 3, "note", s);
                     EXPECT_EQ(decodeStatus(bytes), static_cast<unsigned long>(ORN_ASN_E_DEPTH));
                     m.addString("cfg", bytes.data(), static_cast<unsigned int>(bytes.size()));
                     m.addString("user", "visible");
                   }},
        SecretCase{"BadTagInsideATree",
                   [](NameValueMap& m, const std::string& s) {
                     std::string bytes = encoded(treeOf({{"note", s.c_str()}}));
                     std::size_t at = bytes.find(s);
                     bytes[at - 2] = '\x0c';  // the value's OCTET STRING tag
                     EXPECT_EQ(decodeStatus(bytes), static_cast<unsigned long>(ORN_ASN_E_TAG));
                     m.addString("cfg", bytes.data(), static_cast<unsigned int>(bytes.size()));
                     m.addString("user", "visible");
                   }}),
    [](const ::testing::TestParamInfo<SecretCase>& info) { return info.param.description; });

// Encodings the tree's own encoder never makes: one name in several nodes
// of a level, which decoding merges into one entry at the first node's
// place, values in order and children into one subtree.
std::string node(const std::string& name, std::vector<std::string> values, const std::string& children = "") {
  std::string content;
  for (const std::string& v : values) content += der(0x04, v);
  return der(0x30, der(0x04, name) + der(0x30, content) + der(0x30, children));
}

std::string list(const std::string& nodes) { return der(0x30, nodes); }

std::string base64(const std::string& bytes) {
  char* text = mime64_new_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  std::string out(text);
  std::free(text);
  return out;
}

TEST(NameValueMapTraceEncoded, RepeatedNamesMergeAsDecodingMergesThem) {
  std::string nested = list(node("pwd", {"n1"}) + node("x", {"1"}) + node("pwd", {"n2"}) + node("x", {}, node("y", {"2"})));
  struct Case {
    const char* description;
    std::string bytes;
  } cases[] = {
      {"empty", list("")},
      {"repeats_at_the_top", list(node("a", {"1"}) + node("b", {}, node("c", {"2"})) + node("a", {"3"}, node("d", {"4"})) +
                                  node("a", {}, node("c", {"5"}) + node("d", {"6"})) + node("e", {}))},
      {"obfuscate_twice", list(node("obfuscate", {"false"}) + node("value", {"v"}) + node("obfuscate", {"true"}))},
      {"obfuscate_with_a_subtree_in_a_later_node",
       list(node("obfuscate", {"true"}) + node("value", {"v"}) + node("obfuscate", {}, node("k", {"1"})))},
      {"list_layout_split_over_nodes",
       list(node("pattrlistnames", {"password"}) + node("ppassword", {"s1"}) + node("pattrlistnames", {"value", "obj"}) +
            node("pvalue", {"s2"}) + node("pobfuscate", {"true"}) + node("pattrlistnames", {"obfuscate"}) +
            node("pobj", {base64(nested)}) + node("pobjattrlistvaltype", {"3"}) +
            node("ppasswordattrlistvaltype", {"4"}))},
      {"nested_tree_with_repeats", list(node("cfg", {base64(nested), "plain", base64(nested)}))},
      {"repeats_below_repeats",
       list(node("s", {}, node("t", {"1"}, node("u", {"2"})) + node("t", {"3"})) +
            node("s", {"x"}, node("t", {}, node("u", {"4"}) + node("w", {"5"}))))},
      // Many nodes, names coming back at every distance (nodes are read a
      // few ahead of their filing under their names).
      {"names_back_at_every_distance", [] {
         std::string nodes;
         for (int i = 0; i < 300; ++i)
           nodes += node("n" + std::to_string(i * i % 37), {std::to_string(i)},
                         i % 5 ? "" : node("c" + std::to_string(i % 3), {"v"}));
         return list(nodes);
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    for (int depth : {0, 2, -1}) EXPECT_EQ(traceOfEncoding(c.bytes, depth), traceOfDecoded(c.bytes, depth));
  }
}

TEST(NameValueMapTraceEncoded, BytesThatDoNotDecodeWriteNothing) {
  const std::string bad[] = {"", std::string("\x30\x05\x30", 3), list(node("a", {std::string("x\0y", 3)})),
                             list(node("a", {"1"})) + "!"};
  for (const std::string& bytes : bad) {
    orn_asn_buffer_t buffer{bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()))};
    std::string text;
    unsigned long status = 0;
    NameValueMap::traceEncoded(
        buffer, 0,
        [](void* to, char const* piece, std::size_t length) { static_cast<std::string*>(to)->append(piece, length); },
        &text, status);
    NameValueMap map;
    unsigned long decodeStatus = 0;
    map.decode(buffer, decodeStatus);
    EXPECT_NE(status, 0u);
    EXPECT_EQ(status, decodeStatus);
    EXPECT_EQ(text, "");
  }
}

// A nested tree is entered while it starts at most ORN_ASN_MAX_DEPTH levels
// below the rendered map, subtrees counted; deeper it is masked.
TEST(NameValueMapTraceNested, NestingIsBoundedByTheDecodersDepth) {
  for (int levels : {ORN_ASN_MAX_DEPTH - 1, ORN_ASN_MAX_DEPTH}) {
    SCOPED_TRACE(levels);
    NameValueMap map;
    NameValueMap* level = &map;
    for (int i = 0; i < levels; ++i) level = level->addSubtree("s");
    addTree(*level, "cfg", treeOf({{"note", "shown"}}));
    ZUTF8String_7_0_0 out;
    map.buildTraceBuf(out, 0);
    std::string text(out.getChars(), out.getLength());
    bool entered = levels < ORN_ASN_MAX_DEPTH;
    EXPECT_EQ(text.find("cfg = (object)\n") != std::string::npos, entered);
    EXPECT_EQ(text.find("note = shown") != std::string::npos, entered);
    EXPECT_EQ(text.find("cfg = ******\n") != std::string::npos, !entered);
  }
}

// The exported set of secret names is made as the library loads, with the
// four names, and never replaced; traces do not need it.
ORNUTIL_CHILD_TEST(NameValueMapTraceOnce, SetIsMadeBeforeAnyTrace) {
  ZHashMap_7_0_0* set = NameValueMap::namesNotToTrace;
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set->size(), 4);
  for (const char* name : {"resourcepassword", "pwd", "password", "server_pwd"})
    EXPECT_TRUE(set->contains(ZUTF8ConstString_7_0_0(name))) << name;
  EXPECT_FALSE(set->contains(ZUTF8ConstString_7_0_0("PASSWORD")));
  NameValueMap map;
  ZUTF8String_7_0_0 out;
  map.buildTraceBuf(out, 0);
  NameValueMap::initializeNamesNotToTrace();
  EXPECT_EQ(NameValueMap::namesNotToTrace, set);
}

// Memory running out during the first trace of a process (the Nth
// allocation, N from the environment) fails that trace at most; the next
// one masks as always. Once the set was made by the first trace, and a
// failure there left every later trace raising.
ORNUTIL_CHILD_TEST(NameValueMapTraceOnce, FirstTraceWithoutMemory) {
  if (!ORNUTIL_ALLOC_HOOK) GTEST_SKIP() << "no allocation hook in this build";
  NameValueMap map;
  map.addString("password", "secret");
  map.addString("note", "a value long enough to need the heap in the text");
  ZUTF8String_7_0_0 out;
  ornutil_test::alloc_hook::arm(std::atol(std::getenv("FAIL_AT")));
  try {
    map.buildTraceBuf(out, 0);
  } catch (const ZOutOfMemoryException_7_0_0&) {
  }
  ornutil_test::alloc_hook::disarm();
  ZUTF8String_7_0_0 again;
  ASSERT_NO_THROW(map.buildTraceBuf(again, 0));
  std::string text(again.getChars(), again.getLength());
  EXPECT_NE(text.find("password = ******"), std::string::npos) << text;
  EXPECT_EQ(text.find("secret"), std::string::npos) << text;
  ASSERT_NE(NameValueMap::namesNotToTrace, nullptr);
  EXPECT_EQ(NameValueMap::namesNotToTrace->size(), 4);
}

TEST(NameValueMapTraceOnce, InFreshProcesses) {
  std::string output;
  EXPECT_EQ(ornutil_test::runTestInChild("NameValueMapTraceOnce.SetIsMadeBeforeAnyTrace", {}, &output), 0) << output;
  for (const char* failAt : {"1", "2", "3", "4"}) {
    SCOPED_TRACE(failAt);
    EXPECT_EQ(ornutil_test::runTestInChild("NameValueMapTraceOnce.FirstTraceWithoutMemory", {{"FAIL_AT", failAt}},
                                           &output),
              0)
        << output;
  }
}

}  // namespace
