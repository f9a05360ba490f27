#include "foundation/ornasn.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "foundation/internal/ornasn_der.h"

// DER of:
//   NameValueList ::= SEQUENCE OF NameValueNode
//   NameValueNode ::= SEQUENCE { name OCTET STRING,
//                                values SEQUENCE OF OCTET STRING,
//                                subtrees SEQUENCE OF NameValueNode }
// read and written through foundation/internal/ornasn_der.h. The encoder
// sizes the whole tree first, recording every text's length and every
// node's parts in the order the writing then meets them, allocates once and
// writes forwards: no text is measured twice and no subtree sized twice.
// The decoder walks the input twice: a checking pass that also counts, and,
// only when everything is valid, a filling pass into one block sized from
// those counts.

namespace {

using ornz::der::Bytes;
using ornz::der::Cursor;
using ornz::der::headerSize;
using ornz::der::kMaxEncoding;
using ornz::der::kTagSequence;

// ---------------------------------------------------------------- encoding

std::uint64_t tlvSize(std::uint64_t content) { return headerSize(content) + content; }

std::size_t textLength(const char* text) { return text ? std::strlen(text) : 0; }

// Checks the tree's shape and depth and counts its nodes and texts (names
// and values).
void countTree(const namevalue_s_t* node, int depth, std::uint64_t& nodes, std::uint64_t& texts, int& status) {
  if (!node || (node->num_values && !node->values) || (node->num_subtrees && !node->subtrees)) {
    status = ORN_ASN_E_PARAM;
    return;
  }
  if (depth > ORN_ASN_MAX_DEPTH) {
    status = ORN_ASN_E_DEPTH;
    return;
  }
  ++nodes;
  texts += 1 + static_cast<std::uint64_t>(node->num_values);
  for (unsigned int i = 0; i < node->num_subtrees && !status; ++i)
    countTree(node->subtrees[i], depth + 1, nodes, texts, status);
}

// What the sizing pass records, in writing order (a node, its name and
// values, then its children): each text's length and each node's content
// sizes. Every size is at most kMaxEncoding (sizing stops past that), so 32
// bits hold it.
struct Plan {
  struct Parts {
    std::uint32_t values;
    std::uint32_t children;
  };
  std::uint32_t* lengths;
  Parts* parts;
  std::size_t nextLength = 0;
  std::size_t nextParts = 0;
};

std::uint64_t measure(const char* text, Plan& plan, int& status) {
  std::size_t length = textLength(text);
  if (length > kMaxEncoding) {
    status = ORN_ASN_E_TOO_BIG;
    return 0;
  }
  plan.lengths[plan.nextLength++] = static_cast<std::uint32_t>(length);
  return length;
}

// Content size of a checked node, after recording it and everything below.
// Sizes above kMaxEncoding stop the walk, so the sums below never overflow.
std::uint64_t nodeContentSize(const namevalue_s_t* node, Plan& plan, int& status) {
  std::size_t slot = plan.nextParts++;
  std::uint64_t size = tlvSize(measure(node->name, plan, status));
  std::uint64_t values = 0;
  for (unsigned int i = 0; i < node->num_values && !status; ++i) {
    values += tlvSize(measure(node->values[i], plan, status));
    if (values > kMaxEncoding) status = ORN_ASN_E_TOO_BIG;
  }
  std::uint64_t children = 0;
  for (unsigned int i = 0; i < node->num_subtrees && !status; ++i) {
    children += tlvSize(nodeContentSize(node->subtrees[i], plan, status));
    if (children > kMaxEncoding) status = ORN_ASN_E_TOO_BIG;
  }
  size += tlvSize(values) + tlvSize(children);
  if (size > kMaxEncoding) status = ORN_ASN_E_TOO_BIG;
  if (status) return 0;
  plan.parts[slot] = Plan::Parts{static_cast<std::uint32_t>(values), static_cast<std::uint32_t>(children)};
  return size;
}

// Writes forwards what the plan recorded, consuming it in the same order.
struct Writer {
  unsigned char* p;
  Plan& plan;

  std::size_t nextLength() { return plan.lengths[plan.nextLength++]; }

  void node(const namevalue_s_t* n) {
    Plan::Parts parts = plan.parts[plan.nextParts++];
    std::size_t name = nextLength();
    p = ornz::der::putHeaderAt(p, kTagSequence, tlvSize(name) + tlvSize(parts.values) + tlvSize(parts.children));
    p = ornz::der::putOctetsAt(p, n->name, name);
    p = ornz::der::putHeaderAt(p, kTagSequence, parts.values);
    for (unsigned int i = 0; i < n->num_values; ++i) p = ornz::der::putOctetsAt(p, n->values[i], nextLength());
    p = ornz::der::putHeaderAt(p, kTagSequence, parts.children);
    for (unsigned int i = 0; i < n->num_subtrees; ++i) node(n->subtrees[i]);
  }
};

// ---------------------------------------------------------------- decoding

struct Counts {
  std::uint64_t nodes = 0;
  std::uint64_t pointers = 0;
  std::uint64_t textBytes = 0;

  void onText(std::size_t length) { textBytes += length + 1; }
  void onNode(std::uint64_t values, std::uint64_t children) {
    ++nodes;
    pointers += values + children;
  }
};

// Number of elements left on a level; the input has been checked, so only
// headers are read.
unsigned int countElements(Cursor level, unsigned char tag) {
  unsigned int count = 0;
  for (Bytes content; !level.atEnd() && level.element(tag, content) == ORN_ASN_OK;) ++count;
  return count;
}

// Carves the decoded tree out of one block; the input has been checked.
struct Filler {
  void** pointers;
  namevalue_s_t* nodes;
  char* text;

  const char* copyText(Bytes bytes) {
    char* out = text;
    if (!bytes.empty()) std::memcpy(out, bytes.begin, bytes.size());
    out[bytes.size()] = '\0';
    text += bytes.size() + 1;
    return out;
  }

  namevalue_s_t* node(Cursor& level) {
    namevalue_s_t* n = nodes++;
    ornz::der::Node node;
    ornz::der::readNode(level, node);
    n->name = copyText(node.name);

    n->num_values = countElements(node.values, ornz::der::kTagOctetString);
    n->values = nullptr;
    if (n->num_values) {
      n->values = static_cast<const char**>(static_cast<void*>(pointers));
      pointers += n->num_values;
      for (unsigned int i = 0; i < n->num_values; ++i) {
        Bytes value;
        node.values.element(ornz::der::kTagOctetString, value);
        n->values[i] = copyText(value);
      }
    }

    n->num_subtrees = countElements(node.children, kTagSequence);
    n->subtrees = nullptr;
    if (n->num_subtrees) {
      n->subtrees = reinterpret_cast<namevalue_s_t**>(pointers);
      pointers += n->num_subtrees;
      for (unsigned int i = 0; i < n->num_subtrees; ++i) n->subtrees[i] = this->node(node.children);
    }
    return n;
  }
};

bool addSize(std::uint64_t& total, std::uint64_t count, std::uint64_t each) {
  std::uint64_t part;
  if (__builtin_mul_overflow(count, each, &part)) return false;
  return !__builtin_add_overflow(total, part, &total);
}

}  // namespace

// ---------------------------------------------------------------- buffers

void orn_asn_buffer_copy(orn_asn_buffer_t const* source, orn_asn_buffer_t* target,
                         unsigned long* status) {
  unsigned long result = ORN_ASN_OK;
  orn_asn_buffer_t copy = {0, nullptr};
  if (!source || !target || (source->length && !source->data)) {
    result = ORN_ASN_E_PARAM;
  } else if (source->length) {
    if (source->length > SIZE_MAX ||
        !(copy.data = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(source->length))))) {
      result = ORN_ASN_E_NOMEM;
    } else {
      std::memcpy(copy.data, source->data, static_cast<std::size_t>(source->length));
      copy.length = source->length;
    }
  }
  if (target) *target = copy;
  if (status) *status = result;
}

void orn_asn_buffer_free(orn_asn_buffer_t* buffer) {
  if (!buffer) return;
  std::free(buffer->data);
  buffer->data = nullptr;
  buffer->length = 0;
}

// ---------------------------------------------------------------- codec

int ornAsnEncodeObj(orn_asn_buffer_t& buffer, namevalueList_s_t& list) {
  if (list.num_entries && !list.entries) return ORN_ASN_E_PARAM;
  int status = ORN_ASN_OK;
  std::uint64_t nodes = 0, texts = 0;
  for (unsigned int i = 0; i < list.num_entries && !status; ++i) countTree(list.entries[i], 1, nodes, texts, status);
  if (status) return status;
  // Every text costs at least two bytes of output.
  if (texts > kMaxEncoding / 2) return ORN_ASN_E_TOO_BIG;

  // Small trees plan on the stack; large ones in one scratch block.
  std::uint32_t localLengths[256];
  Plan::Parts localParts[64];
  Plan plan{localLengths, localParts};
  void* scratch = nullptr;
  if (texts > sizeof localLengths / sizeof localLengths[0] || nodes > sizeof localParts / sizeof localParts[0]) {
    std::size_t partsBytes = static_cast<std::size_t>(nodes) * sizeof(Plan::Parts);
    scratch = std::malloc(partsBytes + static_cast<std::size_t>(texts) * sizeof(std::uint32_t));
    if (!scratch) return ORN_ASN_E_NOMEM;
    plan.parts = static_cast<Plan::Parts*>(scratch);
    plan.lengths = reinterpret_cast<std::uint32_t*>(static_cast<char*>(scratch) + partsBytes);
  }
  std::uint64_t content = 0;
  for (unsigned int i = 0; i < list.num_entries && !status; ++i) {
    content += tlvSize(nodeContentSize(list.entries[i], plan, status));
    if (content > kMaxEncoding) status = ORN_ASN_E_TOO_BIG;
  }
  std::uint64_t total = tlvSize(content);
  if (!status && total > kMaxEncoding) status = ORN_ASN_E_TOO_BIG;
  unsigned char* block = nullptr;
  if (!status && !(block = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(total)))))
    status = ORN_ASN_E_NOMEM;
  if (!status) {
    plan.nextLength = 0;
    plan.nextParts = 0;
    Writer w{ornz::der::putHeaderAt(block, kTagSequence, content), plan};
    for (unsigned int i = 0; i < list.num_entries; ++i) w.node(list.entries[i]);
    buffer.length = total;
    buffer.data = block;
  }
  std::free(scratch);
  return status;
}

int ornAsnDecodeObj(orn_asn_buffer_t const& buffer, namevalueList_s_t& list) {
  Counts counts;
  Cursor level;
  std::uint64_t top = 0;
  if (int s = ornz::der::checkList(buffer, counts, level, top)) return s;
  if (top == 0) {
    list.num_entries = 0;
    list.entries = nullptr;
    return ORN_ASN_OK;
  }

  // Pointers first: the block's start is the entries array, which is what
  // ornAsnFreeObj is given back.
  std::uint64_t size = 0;
  if (!addSize(size, top + counts.pointers, sizeof(void*)) ||
      !addSize(size, counts.nodes, sizeof(namevalue_s_t)) || !addSize(size, counts.textBytes, 1) ||
      size > SIZE_MAX)
    return ORN_ASN_E_NOMEM;
  void* block = std::malloc(static_cast<std::size_t>(size));
  if (!block) return ORN_ASN_E_NOMEM;

  auto** entries = static_cast<namevalue_s_t**>(block);
  void** pointers = reinterpret_cast<void**>(entries + top);
  auto* nodes = reinterpret_cast<namevalue_s_t*>(pointers + counts.pointers);
  Filler f{pointers, nodes, reinterpret_cast<char*>(nodes + counts.nodes)};
  for (std::uint64_t i = 0; i < top; ++i) entries[i] = f.node(level);
  list.num_entries = static_cast<unsigned int>(top);
  list.entries = entries;
  return ORN_ASN_OK;
}

void ornAsnFreeObj(namevalueList_s_t& list) {
  std::free(list.entries);
  list.entries = nullptr;
  list.num_entries = 0;
}
