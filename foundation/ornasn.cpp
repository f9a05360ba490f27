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
// The encoder sizes the whole tree first, allocates once and then writes
// from the end backwards, so that every length is known when its header is
// written without measuring any subtree twice. The decoder walks the input
// twice: a checking pass that also counts, and, only when everything is
// valid, a filling pass into one block sized from those counts.

namespace {

using ornz::der::headerSize;
using ornz::der::kMaxEncoding;
using ornz::der::kTagOctetString;
using ornz::der::kTagSequence;
using ornz::der::Reader;

// ---------------------------------------------------------------- encoding

std::uint64_t tlvSize(std::uint64_t content) { return headerSize(content) + content; }

std::size_t textLength(const char* text) { return text ? std::strlen(text) : 0; }

// Checks the tree's shape and depth and counts its texts (names and values).
std::uint64_t countTexts(const namevalue_s_t* node, int depth, int& status) {
  if (!node || (node->num_values && !node->values) || (node->num_subtrees && !node->subtrees)) {
    status = ORN_ASN_E_PARAM;
    return 0;
  }
  if (depth > ORN_ASN_MAX_DEPTH) {
    status = ORN_ASN_E_DEPTH;
    return 0;
  }
  std::uint64_t count = 1 + static_cast<std::uint64_t>(node->num_values);
  for (unsigned int i = 0; i < node->num_subtrees && !status; ++i)
    count += countTexts(node->subtrees[i], depth + 1, status);
  return count;
}

// The text lengths measured by the sizing pass, pushed in the order name,
// values, children; the writing pass, which runs in exactly the reverse
// order, pops them, so no text is measured twice.
struct Lengths {
  std::uint32_t* at;
  std::size_t top = 0;

  std::uint64_t measure(const char* text, int& status) {
    std::size_t length = textLength(text);
    if (length > kMaxEncoding) {
      status = ORN_ASN_E_TOO_BIG;
      return 0;
    }
    at[top++] = static_cast<std::uint32_t>(length);
    return length;
  }
  std::size_t pop() { return at[--top]; }
};

// Content size of a checked node. Sizes above kMaxEncoding stop the walk,
// so the sums below never overflow.
std::uint64_t nodeContentSize(const namevalue_s_t* node, Lengths& lengths, int& status) {
  std::uint64_t size = tlvSize(lengths.measure(node->name, status));
  std::uint64_t values = 0;
  for (unsigned int i = 0; i < node->num_values && !status; ++i) {
    values += tlvSize(lengths.measure(node->values[i], status));
    if (values > kMaxEncoding) status = ORN_ASN_E_TOO_BIG;
  }
  std::uint64_t children = 0;
  for (unsigned int i = 0; i < node->num_subtrees && !status; ++i) {
    children += tlvSize(nodeContentSize(node->subtrees[i], lengths, status));
    if (children > kMaxEncoding) status = ORN_ASN_E_TOO_BIG;
  }
  size += tlvSize(values) + tlvSize(children);
  if (size > kMaxEncoding) status = ORN_ASN_E_TOO_BIG;
  return status ? 0 : size;
}

// Writes backwards: `p` is one past the next byte to write.
struct BackWriter {
  unsigned char* p;
  Lengths& lengths;

  void header(unsigned char tag, std::uint64_t content) { p = ornz::der::putHeaderBefore(p, tag, content); }

  void octets(const char* text) {
    p = ornz::der::putOctetsBefore(p, text, lengths.pop());
  }

  void node(const namevalue_s_t* n) {
    unsigned char* end = p;
    unsigned char* mark = p;
    for (unsigned int i = n->num_subtrees; i-- > 0;) node(n->subtrees[i]);
    header(kTagSequence, static_cast<std::uint64_t>(mark - p));
    mark = p;
    for (unsigned int i = n->num_values; i-- > 0;) octets(n->values[i]);
    header(kTagSequence, static_cast<std::uint64_t>(mark - p));
    octets(n->name);
    header(kTagSequence, static_cast<std::uint64_t>(end - p));
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

// Number of elements of type `tag` between p and end; the input has been
// checked, so only headers are read.
unsigned int countElements(unsigned char tag, const unsigned char* p, const unsigned char* end) {
  unsigned int count = 0;
  Reader r{p};
  while (r.p < end) {
    const unsigned char* contentEnd = end;
    r.header(tag, end, contentEnd);
    r.p = contentEnd;
    ++count;
  }
  return count;
}

// Carves the decoded tree out of one block; the input has been checked.
struct Filler {
  Reader r;
  void** pointers;
  namevalue_s_t* nodes;
  char* text;

  const char* copyText(const unsigned char* end) {
    const unsigned char* start = nullptr;
    std::size_t length = 0;
    r.text(end, start, length);
    char* out = text;
    if (length) std::memcpy(out, start, length);
    out[length] = '\0';
    text += length + 1;
    return out;
  }

  namevalue_s_t* node(const unsigned char* end) {
    namevalue_s_t* n = nodes++;
    const unsigned char* nodeEnd = end;
    r.header(kTagSequence, end, nodeEnd);
    n->name = copyText(nodeEnd);

    const unsigned char* valuesEnd = nodeEnd;
    r.header(kTagSequence, nodeEnd, valuesEnd);
    n->num_values = countElements(kTagOctetString, r.p, valuesEnd);
    n->values = nullptr;
    if (n->num_values) {
      n->values = static_cast<const char**>(static_cast<void*>(pointers));
      pointers += n->num_values;
      for (unsigned int i = 0; i < n->num_values; ++i) n->values[i] = copyText(valuesEnd);
    }

    const unsigned char* childrenEnd = nodeEnd;
    r.header(kTagSequence, nodeEnd, childrenEnd);
    n->num_subtrees = countElements(kTagSequence, r.p, childrenEnd);
    n->subtrees = nullptr;
    if (n->num_subtrees) {
      n->subtrees = reinterpret_cast<namevalue_s_t**>(pointers);
      pointers += n->num_subtrees;
      for (unsigned int i = 0; i < n->num_subtrees; ++i) n->subtrees[i] = node(childrenEnd);
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
  std::uint64_t texts = 0;
  for (unsigned int i = 0; i < list.num_entries && !status; ++i) texts += countTexts(list.entries[i], 1, status);
  if (status) return status;
  // Every text costs at least two bytes of output.
  if (texts > kMaxEncoding / 2) return ORN_ASN_E_TOO_BIG;

  // Small trees measure into the stack; large ones into one scratch block.
  std::uint32_t local[256];
  std::uint32_t* scratch = local;
  if (texts > sizeof local / sizeof local[0]) {
    scratch = static_cast<std::uint32_t*>(std::malloc(static_cast<std::size_t>(texts) * sizeof(std::uint32_t)));
    if (!scratch) return ORN_ASN_E_NOMEM;
  }
  Lengths lengths{scratch};
  std::uint64_t content = 0;
  for (unsigned int i = 0; i < list.num_entries && !status; ++i) {
    content += tlvSize(nodeContentSize(list.entries[i], lengths, status));
    if (content > kMaxEncoding) status = ORN_ASN_E_TOO_BIG;
  }
  std::uint64_t total = tlvSize(content);
  if (!status && total > kMaxEncoding) status = ORN_ASN_E_TOO_BIG;
  unsigned char* block = nullptr;
  if (!status && !(block = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(total)))))
    status = ORN_ASN_E_NOMEM;
  if (!status) {
    BackWriter w{block + total, lengths};
    for (unsigned int i = list.num_entries; i-- > 0;) w.node(list.entries[i]);
    w.header(kTagSequence, content);
    buffer.length = total;
    buffer.data = block;
  }
  if (scratch != local) std::free(scratch);
  return status;
}

int ornAsnDecodeObj(orn_asn_buffer_t const& buffer, namevalueList_s_t& list) {
  Counts counts;
  const unsigned char* firstNode;
  const unsigned char* listEnd;
  std::uint64_t top = 0;
  if (int s = ornz::der::checkList(buffer, counts, firstNode, listEnd, top)) return s;
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
  Filler f{Reader{firstNode}, pointers, nodes, reinterpret_cast<char*>(nodes + counts.nodes)};
  for (std::uint64_t i = 0; i < top; ++i) entries[i] = f.node(listEnd);
  list.num_entries = static_cast<unsigned int>(top);
  list.entries = entries;
  return ORN_ASN_OK;
}

void ornAsnFreeObj(namevalueList_s_t& list) {
  std::free(list.entries);
  list.entries = nullptr;
  list.num_entries = 0;
}
