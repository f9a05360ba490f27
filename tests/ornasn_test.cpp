// The wire codec: known encodings, acceptance by an independent DER parser
// (openssl asn1parse), round trips of awkward trees, and a table of
// malformed inputs that the decoder must refuse with the right status.
#include "foundation/ornasn.h"

#include "foundation/internal/ornasn_der.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<unsigned char>;

// A tree built from plain C++ values, turned into nodes on demand.
struct Node {
  std::string name;
  std::vector<std::string> values;
  std::vector<Node> children;
};

struct NodeStore {
  std::vector<std::unique_ptr<namevalue_s_t>> nodes;
  std::vector<std::unique_ptr<const char*[]>> valueArrays;
  std::vector<std::unique_ptr<namevalue_s_t*[]>> childArrays;

  namevalue_s_t* make(const Node& n) {
    auto node = std::make_unique<namevalue_s_t>();
    node->name = n.name.c_str();
    node->num_values = static_cast<unsigned int>(n.values.size());
    node->values = nullptr;
    if (!n.values.empty()) {
      valueArrays.emplace_back(new const char*[n.values.size()]);
      for (std::size_t i = 0; i < n.values.size(); ++i) valueArrays.back()[i] = n.values[i].c_str();
      node->values = valueArrays.back().get();
    }
    node->num_subtrees = static_cast<unsigned int>(n.children.size());
    node->subtrees = nullptr;
    if (!n.children.empty()) {
      childArrays.emplace_back(new namevalue_s_t*[n.children.size()]);
      namevalue_s_t** slots = childArrays.back().get();
      for (std::size_t i = 0; i < n.children.size(); ++i) slots[i] = make(n.children[i]);
      node->subtrees = slots;
    }
    nodes.push_back(std::move(node));
    return nodes.back().get();
  }
};

Bytes encode(const std::vector<Node>& tree, int* status = nullptr) {
  NodeStore store;
  std::vector<namevalue_s_t*> entries;
  for (const Node& n : tree) entries.push_back(store.make(n));
  namevalueList_s_t list{static_cast<unsigned int>(entries.size()), entries.empty() ? nullptr : entries.data()};
  orn_asn_buffer_t buffer{0, nullptr};
  int s = ornAsnEncodeObj(buffer, list);
  if (status) *status = s;
  Bytes out(buffer.data, buffer.data + buffer.length);
  orn_asn_buffer_free(&buffer);
  return out;
}

Node fromNode(const namevalue_s_t& n) {
  Node out{n.name, {}, {}};
  for (unsigned int i = 0; i < n.num_values; ++i) out.values.push_back(n.values[i]);
  for (unsigned int i = 0; i < n.num_subtrees; ++i) out.children.push_back(fromNode(*n.subtrees[i]));
  if (!n.num_values) {
    EXPECT_EQ(n.values, nullptr);
  }
  if (!n.num_subtrees) {
    EXPECT_EQ(n.subtrees, nullptr);
  }
  return out;
}

int decode(const Bytes& bytes, std::vector<Node>* tree) {
  orn_asn_buffer_t buffer{bytes.size(), const_cast<unsigned char*>(bytes.data())};
  namevalueList_s_t list{12345, nullptr};
  int s = ornAsnDecodeObj(buffer, list);
  if (s != 0) {
    EXPECT_EQ(list.num_entries, 12345u) << "a failed decode changed the list";
    return s;
  }
  if (tree) {
    tree->clear();
    for (unsigned int i = 0; i < list.num_entries; ++i) tree->push_back(fromNode(*list.entries[i]));
  }
  ornAsnFreeObj(list);
  EXPECT_EQ(list.entries, nullptr);
  return s;
}

bool operator==(const Node& a, const Node& b) {
  return a.name == b.name && a.values == b.values && a.children == b.children;
}

// openssl asn1parse over the bytes; true when it parses them without error.
bool opensslAccepts(const Bytes& der) {
  char path[] = "/tmp/ornasn_test_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return false;
  bool written = write(fd, der.data(), der.size()) == static_cast<ssize_t>(der.size());
  close(fd);
  std::string command = std::string("openssl asn1parse -inform DER -in ") + path + " >/dev/null 2>&1";
  int rc = written ? std::system(command.c_str()) : -1;
  unlink(path);
  return rc == 0;
}

Node deepChain(int levels) {
  Node n{"level" + std::to_string(levels), {"v"}, {}};
  if (levels > 1) n.children.push_back(deepChain(levels - 1));
  return n;
}

TEST(OrnAsnEncode, KnownEncodings) {
  EXPECT_EQ(encode({}), (Bytes{0x30, 0x00}));
  // SEQUENCE { SEQUENCE { "a", SEQUENCE { "1" }, SEQUENCE { SEQUENCE { "b", {}, {} } } } }
  EXPECT_EQ(encode({{"a", {"1"}, {{"b", {}, {}}}}}),
            (Bytes{0x30, 0x15, 0x30, 0x13, 0x04, 0x01, 'a', 0x30, 0x03, 0x04, 0x01, '1', 0x30, 0x09,
                   0x30, 0x07, 0x04, 0x01, 'b', 0x30, 0x00, 0x30, 0x00}));
  // Long-form lengths appear at 128 bytes of content: 0x81 then one byte.
  Bytes big = encode({{"", {std::string(200, 'x')}, {}}});
  ASSERT_GT(big.size(), 210u);
  EXPECT_EQ(big[0], 0x30);
  EXPECT_EQ(big[1], 0x81);
}

TEST(OrnAsnEncode, RefusesBadTrees) {
  namevalueList_s_t missing{2, nullptr};
  orn_asn_buffer_t buffer{0, nullptr};
  EXPECT_EQ(ornAsnEncodeObj(buffer, missing), ORN_ASN_E_PARAM);
  namevalue_s_t* none = nullptr;
  namevalueList_s_t nullNode{1, &none};
  EXPECT_EQ(ornAsnEncodeObj(buffer, nullNode), ORN_ASN_E_PARAM);
  int status = 0;
  encode({deepChain(ORN_ASN_MAX_DEPTH + 1)}, &status);
  EXPECT_EQ(status, ORN_ASN_E_DEPTH);
  EXPECT_EQ(buffer.data, nullptr);
}

struct RoundTripCase {
  const char* description;
  std::vector<Node> tree;
  // openssl asn1parse stops at 128 levels of nesting; each node level is
  // two of ours, so the deepest trees are beyond it.
  bool opensslCanParse = true;
};

std::string allBytesButNul() {
  std::string s;
  for (int c = 1; c < 256; ++c) s.push_back(static_cast<char>(c));
  return s;
}

class OrnAsnRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(OrnAsnRoundTrip, DecodesToTheSameTreeAndOpensslParsesIt) {
  int status = -1;
  Bytes der = encode(GetParam().tree, &status);
  ASSERT_EQ(status, 0);
  if (GetParam().opensslCanParse) {
    EXPECT_TRUE(opensslAccepts(der));
  }
  std::vector<Node> back;
  ASSERT_EQ(decode(der, &back), 0);
  EXPECT_TRUE(back == GetParam().tree);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OrnAsnRoundTrip,
    ::testing::Values(
        RoundTripCase{"empty_list", {}},
        RoundTripCase{"empty_name_and_values", {{"", {"", ""}, {}}}},
        RoundTripCase{"name_without_values", {{"lonely", {}, {}}}},
        RoundTripCase{"binary_bytes", {{allBytesButNul(), {allBytesButNul(), "\xff\xfe"}, {}}}},
        RoundTripCase{"siblings_and_subtrees",
                      {{"a", {"1", "2"}, {{"b", {"3"}, {}}, {"c", {}, {{"d", {"4"}, {}}}}}}, {"e", {"5"}, {}}}},
        RoundTripCase{"deep", {deepChain(40)}},
        RoundTripCase{"deepest_allowed", {deepChain(ORN_ASN_MAX_DEPTH)}, false},
        RoundTripCase{"long_lengths", {{std::string(300, 'n'), {std::string(70000, 'v')}, {}}}}),
    [](const ::testing::TestParamInfo<RoundTripCase>& info) { return info.param.description; });

struct MalformedCase {
  const char* description;
  Bytes bytes;
  int status;
};

Bytes tooDeep() {
  // Build the bytes of a chain one level past the limit by hand, since the
  // encoder refuses to make it.
  Bytes node = {0x30, 0x06, 0x04, 0x00, 0x30, 0x00, 0x30, 0x00};
  for (int level = 1; level <= ORN_ASN_MAX_DEPTH; ++level) {
    Bytes children = {0x30};
    auto lengthBytes = [](std::size_t n) {
      Bytes l;
      if (n < 0x80) return Bytes{static_cast<unsigned char>(n)};
      for (std::size_t v = n; v; v >>= 8) l.insert(l.begin(), static_cast<unsigned char>(v));
      l.insert(l.begin(), static_cast<unsigned char>(0x80 | l.size()));
      return l;
    };
    Bytes l = lengthBytes(node.size());
    children.insert(children.end(), l.begin(), l.end());
    children.insert(children.end(), node.begin(), node.end());
    Bytes content = {0x04, 0x00, 0x30, 0x00};
    content.insert(content.end(), children.begin(), children.end());
    node = {0x30};
    l = lengthBytes(content.size());
    node.insert(node.end(), l.begin(), l.end());
    node.insert(node.end(), content.begin(), content.end());
  }
  Bytes list = {0x30};
  Bytes l = node.size() < 0x80 ? Bytes{static_cast<unsigned char>(node.size())}
                               : Bytes{0x82, static_cast<unsigned char>(node.size() >> 8),
                                       static_cast<unsigned char>(node.size())};
  list.insert(list.end(), l.begin(), l.end());
  list.insert(list.end(), node.begin(), node.end());
  return list;
}

class OrnAsnMalformed : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(OrnAsnMalformed, IsRefused) { EXPECT_EQ(decode(GetParam().bytes, nullptr), GetParam().status); }

// Each row breaks one rule of the encoding, mostly on a minimal node
// 30 06 04 00 30 00 30 00 (empty name, no values, no subtrees).
INSTANTIATE_TEST_SUITE_P(
    Cases, OrnAsnMalformed,
    ::testing::Values(
        MalformedCase{"empty_input", {}, ORN_ASN_E_TRUNCATED},
        MalformedCase{"tag_only", {0x30}, ORN_ASN_E_TRUNCATED},
        MalformedCase{"truncated_content", {0x30, 0x02, 0x30}, ORN_ASN_E_TRUNCATED},
        MalformedCase{"truncated_node", {0x30, 0x05, 0x30, 0x06, 0x04, 0x01, 'a'}, ORN_ASN_E_TRUNCATED},
        MalformedCase{"wrong_outer_tag", {0x31, 0x00}, ORN_ASN_E_TAG},
        MalformedCase{"name_not_octets", {0x30, 0x08, 0x30, 0x06, 0x0c, 0x00, 0x30, 0x00, 0x30, 0x00}, ORN_ASN_E_TAG},
        MalformedCase{"constructed_octets", {0x30, 0x08, 0x30, 0x06, 0x24, 0x00, 0x30, 0x00, 0x30, 0x00}, ORN_ASN_E_TAG},
        MalformedCase{"missing_subtrees", {0x30, 0x06, 0x30, 0x04, 0x04, 0x00, 0x30, 0x00}, ORN_ASN_E_TRUNCATED},
        MalformedCase{"extra_element_in_node",
                      {0x30, 0x0a, 0x30, 0x08, 0x04, 0x00, 0x30, 0x00, 0x30, 0x00, 0x05, 0x00},
                      ORN_ASN_E_TRAILING},
        MalformedCase{"indefinite_length", {0x30, 0x80, 0x00, 0x00}, ORN_ASN_E_LENGTH},
        MalformedCase{"long_form_for_short_length", {0x30, 0x81, 0x00}, ORN_ASN_E_LENGTH},
        MalformedCase{"long_form_leading_zero", {0x30, 0x82, 0x00, 0x00}, ORN_ASN_E_LENGTH},
        MalformedCase{"reserved_length", {0x30, 0xff}, ORN_ASN_E_LENGTH},
        MalformedCase{"nine_length_bytes", {0x30, 0x89, 1, 0, 0, 0, 0, 0, 0, 0, 0}, ORN_ASN_E_LENGTH},
        MalformedCase{"huge_length", {0x30, 0x88, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
                      ORN_ASN_E_TRUNCATED},
        MalformedCase{"huge_inner_length", {0x30, 0x06, 0x30, 0x84, 0xff, 0xff, 0xff, 0xff}, ORN_ASN_E_TRUNCATED},
        MalformedCase{"outer_shorter_than_input", {0x30, 0x02, 0x30, 0x06, 0x04, 0x00, 0x30, 0x00, 0x30, 0x00},
                      ORN_ASN_E_TRAILING},
        MalformedCase{"inner_past_its_node",
                      {0x30, 0x0a, 0x30, 0x08, 0x04, 0x00, 0x30, 0x05, 0x30, 0x00, 0x30, 0x00},
                      ORN_ASN_E_TRUNCATED},
        MalformedCase{"trailing_bytes", {0x30, 0x00, 0x00}, ORN_ASN_E_TRAILING},
        MalformedCase{"nul_in_value",
                      {0x30, 0x0b, 0x30, 0x09, 0x04, 0x00, 0x30, 0x03, 0x04, 0x01, 0x00, 0x30, 0x00},
                      ORN_ASN_E_CONTENT},
        MalformedCase{"too_deep", tooDeep(), ORN_ASN_E_DEPTH}),
    [](const ::testing::TestParamInfo<MalformedCase>& info) { return info.param.description; });

// The encoder never makes 4 GiB or more, and the decoder refuses such a
// length before it reads a byte (the block here is far shorter than it says:
// a read would show under AddressSanitizer).
TEST(OrnAsnDecode, InputOf4GiBOrMoreIsRefusedUnread) {
  unsigned char bytes[] = {0x30, 0x00};
  for (std::uint64_t length : {std::uint64_t{1} << 32, ~std::uint64_t{0}}) {
    orn_asn_buffer_t buffer{length, bytes};
    namevalueList_s_t list{0, nullptr};
    EXPECT_EQ(ornAsnDecodeObj(buffer, list), ORN_ASN_E_TOO_BIG);
    EXPECT_EQ(list.entries, nullptr);
  }
}

// The reader's own rules, beside what the codec makes of them.
TEST(DerReader, HeaderFormsAndTheOutsideOfAnEncoding) {
  struct Case {
    const char* description;
    Bytes bytes;
    bool der;          // one SEQUENCE spanning the bytes, in DER
    bool anyDefinite;  // the same with any definite length form
  };
  const Case cases[] = {
      {"short form", {0x30, 0x01, 0x05}, true, true},
      {"long form for a short length", {0x30, 0x81, 0x01, 0x05}, false, true},
      {"leading zero length byte", {0x30, 0x82, 0x00, 0x01, 0x05}, false, true},
      {"indefinite", {0x30, 0x80, 0x05, 0x00, 0x00}, false, false},
      {"shorter than the bytes", {0x30, 0x00, 0x05}, false, false},
      {"longer than the bytes", {0x30, 0x02, 0x05}, false, false},
      {"another tag", {0x31, 0x01, 0x05}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    ornz::der::Bytes bytes{c.bytes.data(), c.bytes.data() + c.bytes.size()};
    EXPECT_EQ(ornz::der::spansOneElement(bytes, ornz::der::kTagSequence, ornz::der::Form::kDer), c.der);
    EXPECT_EQ(ornz::der::spansOneElement(bytes, ornz::der::kTagSequence, ornz::der::Form::kAnyDefinite),
              c.anyDefinite);
  }
}

// Nesting is bounded in the cursor, whatever the grammar above it: a chain
// of empty SEQUENCEs may go kMaxNesting deep and no deeper.
TEST(DerReader, EnteringPastTheNestingBoundIsRefused) {
  for (int depth : {ornz::der::kMaxNesting, ornz::der::kMaxNesting + 1}) {
    SCOPED_TRACE(depth);
    Bytes bytes;
    for (int i = 0; i < depth; ++i) {
      std::size_t content = bytes.size();
      Bytes header = {0x30};
      if (content > 0xff) {
        header.push_back(0x82);
        header.push_back(static_cast<unsigned char>(content >> 8));
      } else if (content >= 0x80) {
        header.push_back(0x81);
      }
      header.push_back(static_cast<unsigned char>(content));
      bytes.insert(bytes.begin(), header.begin(), header.end());
    }
    ornz::der::Cursor cursor(ornz::der::Bytes{bytes.data(), bytes.data() + bytes.size()});
    int status = ORN_ASN_OK;
    int entered = 0;
    while (status == ORN_ASN_OK && !cursor.atEnd()) {
      ornz::der::Cursor inside;
      status = cursor.enter(ornz::der::kTagSequence, inside);
      if (status == ORN_ASN_OK) {
        cursor = inside;
        ++entered;
      }
    }
    if (depth <= ornz::der::kMaxNesting) {
      EXPECT_EQ(status, ORN_ASN_OK);
      EXPECT_EQ(entered, depth);
    } else {
      EXPECT_EQ(status, ORN_ASN_E_DEPTH);
      EXPECT_EQ(entered, ornz::der::kMaxNesting);
    }
  }
}

TEST(OrnAsnDecode, NullDataIsRefused) {
  orn_asn_buffer_t buffer{4, nullptr};
  namevalueList_s_t list{0, nullptr};
  EXPECT_EQ(ornAsnDecodeObj(buffer, list), ORN_ASN_E_PARAM);
}

TEST(OrnAsnBuffer, CopyAndFree) {
  unsigned char bytes[] = {1, 2, 3};
  orn_asn_buffer_t source{3, bytes};
  orn_asn_buffer_t target{99, bytes};
  unsigned long status = 7;
  orn_asn_buffer_copy(&source, &target, &status);
  EXPECT_EQ(status, 0u);
  ASSERT_EQ(target.length, 3u);
  EXPECT_NE(target.data, bytes);
  EXPECT_EQ(Bytes(target.data, target.data + 3), Bytes(bytes, bytes + 3));
  orn_asn_buffer_free(&target);
  EXPECT_EQ(target.data, nullptr);
  EXPECT_EQ(target.length, 0u);

  orn_asn_buffer_t broken{3, nullptr};
  orn_asn_buffer_copy(&broken, &target, &status);
  EXPECT_EQ(status, static_cast<unsigned long>(ORN_ASN_E_PARAM));
  EXPECT_EQ(target.data, nullptr);
  orn_asn_buffer_free(nullptr);
}

}  // namespace
