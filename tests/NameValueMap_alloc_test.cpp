// Exhausted memory in the name/value tree's wire forms and the typed
// object's writers: with each allocation of an operation failing in turn,
// the operation reports ZOutOfMemoryException_7_0_0 (or the codec's
// ORN_ASN_E_NOMEM where its contract says so), leaves its target exactly as
// it was and frees everything it made.
//
// How: tests/support/alloc_hook.h replaces the allocator in this executable;
// an armed countdown fails the Nth call, and a live-block count checks that
// every block made during an operation is freed again. Under the sanitizers
// the hook is not built and these tests skip.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "KelCore/OrnObject.h"
#include "foundation/ornasn.h"
#include "foundation/zexception.h"
#include "util/NameValueMap.h"

#include "tests/support/alloc_hook.h"

using ornutil_test::alloc_hook::calls;
using ornutil_test::alloc_hook::failAt;
using ornutil_test::alloc_hook::liveBlocks;

namespace {

// The wire bytes of a tree: a picture of its whole content, order included.
std::string bytesOf(const NameValueMap& map) {
  orn_asn_buffer_t buffer{0, nullptr};
  unsigned long status = 1;
  map.encode(buffer, status);
  EXPECT_EQ(status, 0u);
  std::string bytes(reinterpret_cast<const char*>(buffer.data), buffer.length);
  orn_asn_buffer_free(&buffer);
  return bytes;
}

std::string bytesOf(const OrnObject& object) {
  orn_asn_buffer_t buffer{0, nullptr};
  unsigned long status = 1;
  object.encode(buffer, status);
  EXPECT_EQ(status, 0u);
  std::string bytes(reinterpret_cast<const char*>(buffer.data), buffer.length);
  orn_asn_buffer_free(&buffer);
  return bytes;
}

struct Attempt {
  bool succeeded = false;
  bool threw = false;
  char file[64] = "";  // the exception's source path; kept off the heap the test counts
};

class AllocationFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ORNUTIL_ALLOC_HOOK) GTEST_SKIP() << "the allocation hook is not built under sanitizers";
    // The first exception of the process makes the unwinder keep a block
    // for good: thrown here, it is not counted against an operation.
    try {
      ornz::throwOutOfMemory("warm-up", 1);
    } catch (const ZOutOfMemoryException_7_0_0&) {
    }
  }

  // Runs `op` with the 1st, 2nd, ... allocation failing until it runs
  // without reaching the armed call; `picture` must read the same before
  // and after every failing run, and `failed` checks each one. Returns the
  // number of allocation points met.
  int failEachAllocation(const std::function<bool()>& op, const std::function<std::string()>& picture,
                         const std::function<void(const Attempt&)>& failed) {
    for (long n = 1; n < 10000; ++n) {
      SCOPED_TRACE("failing allocation " + std::to_string(n));
      std::string before = picture();
      long live = liveBlocks;
      calls = 0;
      failAt = n;
      Attempt run;
      try {
        run.succeeded = op();
      } catch (const ZOutOfMemoryException_7_0_0& e) {
        run.threw = true;
        std::snprintf(run.file, sizeof run.file, "%s", e.getFile());
      }
      bool reached = calls >= n;
      failAt = 0;
      if (!reached) {
        EXPECT_TRUE(run.succeeded);
        return static_cast<int>(n - 1);
      }
      failed(run);
      EXPECT_EQ(liveBlocks, live) << "blocks leaked or lost";
      EXPECT_EQ(picture(), before) << "the target changed";
    }
    ADD_FAILURE() << "no end to the allocations";
    return -1;
  }
};

NameValueMap sampleTree() {
  NameValueMap map;
  map.addString("a", "1");
  map.addString("a", "a value long enough to live outside its string object");
  map.addSubtree("a")->addString("b", "2");
  map.addSubtree("s")->addSubtree("t")->addString("c", "3");
  map.addString("d", "4");
  return map;
}

#if ORNUTIL_ALLOC_HOOK
// Every allocation of an encoding failing in turn: each reports no memory,
// leaks nothing and leaves the buffer alone.
TEST_F(AllocationFailure, EncodeReportsNoMemoryAndLeavesTheBufferAlone) {
  NameValueMap large;
  large.addString("first", "1");
  NameValueMap* below = large.addSubtree("scope");
  for (int i = 0; i < 500; ++i) below->addSubtree(std::to_string(i).c_str())->addString("leaf", "a value");
  struct Case {
    const char* description;
    NameValueMap map;
    bool oneBlock;
  } cases[] = {
      // The encoding's own block, nothing else: sized from the encoding
      // made before, it needs no second one.
      {"a small tree", sampleTree(), true},
      // Hundreds of nodes below one top-level name: the sizes the encoder
      // records for them outgrow the writer's own room and take blocks of
      // their own, and the block grows from a first guess far too small.
      {"a large subtree", large, false},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.description);
    unsigned char sentinel = 0;
    orn_asn_buffer_t buffer{7, &sentinel};
    unsigned long status = 0;
    int points = failEachAllocation(
        [&] {
          c.map.encode(buffer, status);
          return status == 0;
        },
        [&] { return std::to_string(buffer.length); },
        [&](const Attempt& run) {
          EXPECT_FALSE(run.threw);
          EXPECT_EQ(status, static_cast<unsigned long>(ORN_ASN_E_NOMEM));
          EXPECT_EQ(buffer.data, &sentinel);
        });
    if (c.oneBlock) {
      EXPECT_EQ(points, 1);
    } else {
      EXPECT_GT(points, 2);
    }
    orn_asn_buffer_free(&buffer);
  }
}

// Bytes with a name sent in two nodes, the second adding below the first
// (the node codec keeps them apart; a map would merge them).
std::string bytesWithRepeats() {
  const char* one[] = {"1"};
  const char* two[] = {"2"};
  namevalue_s_t b{"b", 1, two, 0, nullptr};
  namevalue_s_t* bs[] = {&b};
  namevalue_s_t a{"a", 1, one, 1, bs};
  namevalue_s_t m1{"m", 1, one, 0, nullptr};
  namevalue_s_t m2{"m", 1, two, 0, nullptr};
  namevalue_s_t k{"k", 1, one, 0, nullptr};
  namevalue_s_t* first[] = {&m1};
  namevalue_s_t* second[] = {&m2, &k};
  namevalue_s_t n1{"n", 1, one, 1, first};
  namevalue_s_t n2{"n", 1, two, 2, second};
  namevalue_s_t c{"c", 1, two, 0, nullptr};
  namevalue_s_t* cs[] = {&c};
  namevalue_s_t t{"t", 0, nullptr, 1, cs};
  namevalue_s_t* ts[] = {&t};
  namevalue_s_t sc{"s", 0, nullptr, 1, ts};
  namevalue_s_t* entries[] = {&a, &n1, &sc, &n2};
  namevalueList_s_t list{4, entries};
  orn_asn_buffer_t buffer{0, nullptr};
  EXPECT_EQ(ornAsnEncodeObj(buffer, list), 0);
  std::string bytes(reinterpret_cast<const char*>(buffer.data), buffer.length);
  orn_asn_buffer_free(&buffer);
  return bytes;
}

// Decoding into an empty map, adding to names a map already holds, and
// into a map holding some of the names at some of the levels.
TEST_F(AllocationFailure, DecodeAddsEverythingOrNothing) {
  struct Case {
    const char* description;
    std::string bytes;
    std::function<void(NameValueMap&)> fill;
  };
  const Case cases[] = {
      {"into an empty map", bytesOf(sampleTree()), [](NameValueMap&) {}},
      {"into a map holding the same names", bytesOf(sampleTree()), [](NameValueMap& map) { map = sampleTree(); }},
      {"into a map holding some names, with names sent twice", bytesWithRepeats(),
       [](NameValueMap& map) {
         map.addString("a", "0");
         map.addSubtree("a")->addString("z", "9");
         map.addSubtree("s")->addString("u", "1");
         map.addString("x", "1");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    orn_asn_buffer_t buffer{c.bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(c.bytes.data()))};
    NameValueMap map;
    c.fill(map);
    unsigned long status = 0;
    int points = failEachAllocation(
        [&] {
          map.decode(buffer, status);
          return status == 0;
        },
        [&] { return bytesOf(map); },
        [&](const Attempt& run) { EXPECT_TRUE(run.threw); });
    EXPECT_GT(points, 5);
  }
}

// A decode's work follows its input, not the map it adds to: one small node
// into a map of thousands of names makes a handful of allocations.
TEST_F(AllocationFailure, DecodeIntoALargeMapAllocatesForTheInputOnly) {
  NameValueMap map;
  char name[16];
  for (int i = 0; i < 5000; ++i) {
    std::snprintf(name, sizeof name, "n%d", i);
    map.addString(name, "value");
    map.addSubtree(name)->addString("below", "value");
  }
  NameValueMap small;
  small.addString("n7", "more");
  small.addString("new", "one");
  std::string bytes = bytesOf(small);
  orn_asn_buffer_t buffer{bytes.size(), reinterpret_cast<unsigned char*>(&bytes[0])};
  calls = 0;
  failAt = 1L << 40;  // counting, never reached
  unsigned long status = 1;
  map.decode(buffer, status);
  long made = calls;
  failAt = 0;
  EXPECT_EQ(status, 0u);
  EXPECT_LT(made, 20);
  EXPECT_EQ(map.getValueCount("n7"), 2u);
  EXPECT_EQ(map.getValueCount("new"), 1u);
}

TEST_F(AllocationFailure, TraceOfAnEncodingFreesWhatItMade) {
  std::string bytes = bytesOf(sampleTree());
  orn_asn_buffer_t buffer{bytes.size(), reinterpret_cast<unsigned char*>(&bytes[0])};
  // The set of secret names is built once per process, on the first trace
  // (its own failure is for good, by design): built here, unarmed.
  ZUTF8String_7_0_0 first;
  sampleTree().buildTraceBuf(first, 0);
  std::string text;
  text.reserve(4096);  // before arming: the writes below allocate nothing
  int points = failEachAllocation(
      [&] {
        text.clear();
        unsigned long status = 1;
        NameValueMap::traceEncoded(
            buffer, 0, [](void* to, char const* piece, std::size_t n) { static_cast<std::string*>(to)->append(piece, n); },
            &text, status);
        return status == 0;
      },
      [] { return std::string(); }, [&](const Attempt& run) { EXPECT_TRUE(run.threw); });
  EXPECT_GT(points, 3);
}

struct WriterCase {
  const char* description;
  std::function<void(OrnObject&, const OrnObject&)> write;
};

class ObjectWriterAllocationFailure : public AllocationFailure, public ::testing::WithParamInterface<WriterCase> {};

// Every allocation point of the nested-object writers and the scalar
// writers reports from the typed object or the tree, and changes nothing,
// also when the scope is new.
TEST_P(ObjectWriterAllocationFailure, ChangesNothingAndReportsTheExhaustedHeap) {
  OrnObject object("outer");
  object.addStringValue("kept", "1", "existing");
  OrnObject nested("inner");
  nested.addStringValue("x", "a nested value long enough to need a block of its own", nullptr);
  nested.addStringValue("y", "2", "deeper");
  int points = failEachAllocation(
      [&] {
        GetParam().write(object, nested);
        return true;
      },
      [&] { return bytesOf(object); },
      [&](const Attempt& run) {
        EXPECT_TRUE(run.threw);
        EXPECT_STRNE(run.file, "");
      });
  EXPECT_GT(points, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Writers, ObjectWriterAllocationFailure,
    ::testing::Values(
        WriterCase{"AddObjectAtTheRoot", [](OrnObject& o, const OrnObject& n) { o.addObjectValue("obj", n, nullptr); }},
        WriterCase{"AddObjectInAnExistingScope",
                   [](OrnObject& o, const OrnObject& n) { o.addObjectValue("obj", n, "existing"); }},
        WriterCase{"AddObjectInANewScope", [](OrnObject& o, const OrnObject& n) { o.addObjectValue("obj", n, "new"); }},
        WriterCase{"SetObjectInANewScope",
                   [](OrnObject& o, const OrnObject& n) { o.setObjectValue("obj", n, 3, "new"); }},
        WriterCase{"AddIntegerInANewScope", [](OrnObject& o, const OrnObject&) { o.addIntegerValue("m", 7, "new"); }},
        WriterCase{"SetStringOfANewName", [](OrnObject& o, const OrnObject&) { o.setStringValue("n", "v", 0, nullptr); }},
        WriterCase{"AddBufferInANewScope",
                   [](OrnObject& o, const OrnObject&) { o.addBufferValue("b", "\x01\x02\x03", 3, "new"); }}),
    [](const ::testing::TestParamInfo<WriterCase>& info) { return std::string(info.param.description); });

// The nested-object writers name the typed object as the place memory ran
// out, whichever part below them found it.
TEST_F(AllocationFailure, NestedObjectWritersReportFromTheTypedObject) {
  OrnObject object;
  OrnObject nested("inner");
  for (bool add : {true, false}) {
    SCOPED_TRACE(add ? "addObjectValue" : "setObjectValue");
    failEachAllocation(
        [&] {
          if (add)
            object.addObjectValue("obj", nested, "scope");
          else
            object.setObjectValue("obj", nested, 0, "scope");
          return true;
        },
        [&] { return bytesOf(object); }, [&](const Attempt& run) { EXPECT_STREQ(run.file, "KelCore/OrnObject"); });
  }
}

// The library's own readers of a tree (trace, attribute list, node tree,
// copy into another object, encode) walk the stored names: none leaves
// anything behind in the tree it reads. Listing the names is what makes
// their key strings, once.
TEST_F(AllocationFailure, ReadersLeaveNothingBehindInTheTreeTheyRead) {
  const std::string bytes = bytesOf(sampleTree());
  auto readAll = [](const NameValueMap& map, OrnObject& object) {
    ZUTF8String_7_0_0 trace;
    map.buildTraceBuf(trace, 0);
    auto* list = static_cast<attrlist_s_t*>(std::calloc(1, sizeof(attrlist_s_t)));
    map.toAttrlist(*list);
    attrlist_delete(&list);
    namevalue_s_t node{};
    map.encodeMap(&node, "a");
    map.freeMap(&node);
    OrnObject copy;
    object.getNameValues(copy, nullptr);
    object.getNameValues(copy, "s");
    bytesOf(map);
  };
  auto decoded = [&bytes](NameValueMap& map, OrnObject& object) {
    orn_asn_buffer_t buffer{static_cast<std::uint32_t>(bytes.size()),
                            reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()))};
    unsigned long status = 1;
    map.decode(buffer, status);
    ASSERT_EQ(status, 0u);
    object.decode(buffer, status);
    ASSERT_EQ(status, 0u);
  };
  {
    // What the readers set up once per process (the names never traced).
    NameValueMap map;
    OrnObject object;
    decoded(map, object);
    readAll(map, object);
  }
  NameValueMap map;
  OrnObject object;
  decoded(map, object);
  const long live = liveBlocks;
  readAll(map, object);
  EXPECT_EQ(liveBlocks, live);

  ZArrayList_7_0_0 names(10, 0);
  names.add(&object);  // the list's own storage, made before counting
  names.removeAll();
  const long unlisted = liveBlocks;
  map.getNames(names);
  ASSERT_EQ(names.size(), 3);  // a, s, d
  names.removeAll();
  const long listed = liveBlocks;
  EXPECT_EQ(listed, unlisted + 3);
  map.getNames(names);
  names.removeAll();
  EXPECT_EQ(liveBlocks, listed);
}

// A writer of many names that fails at its last allocation takes all of
// them back (in one sweep of the table), leaving the object as it was.
TEST_F(AllocationFailure, ALargeWriterFailingAtItsEndTakesEveryNameBack) {
  constexpr int kAttributes = 3000;
  attrlist_s_t list{0, nullptr};
  for (int i = 0; i < kAttributes; ++i) {
    std::string name = "attribute-" + std::to_string(i);
    value_s_t value{ATTR_VALUE_STRING, const_cast<char*>("v"), 0, nullptr};
    attrlist_add_entry(&list, const_cast<char*>(name.c_str()), &value);
  }
  // A key map that meets long probe runs takes a new salt, drawn at random,
  // and with it a table: the allocations of one write vary a little from
  // run to run. So a write is counted, then repeated on an equal object
  // with the last of those allocations failing, until the failure does land
  // inside the write. Nothing is checked while the countdown is armed (a
  // failed check allocates).
  bool landed = false;
  for (int attempt = 0; attempt < 20 && !landed; ++attempt) {
    auto fill = [](OrnObject& object) {
      object.addStringValue("kept", "k", nullptr);
      object.addStringValue("scoped", "s", "scope");
    };
    long needed = 0;
    {
      OrnObject probe;
      fill(probe);
      calls = 0;
      failAt = 1L << 40;
      probe.addAttrListValue_internal("p-", list, "scope");
      failAt = 0;
      needed = calls;
    }
    OrnObject object;
    fill(object);
    const std::string before = bytesOf(object);
    const long live = liveBlocks;
    bool threw = false;
    calls = 0;
    failAt = needed;
    try {
      object.addAttrListValue_internal("p-", list, "scope");
    } catch (const ZOutOfMemoryException_7_0_0&) {
      threw = true;
    }
    landed = calls >= needed;
    failAt = 0;
    if (!landed) continue;
    EXPECT_TRUE(threw);
    EXPECT_EQ(liveBlocks, live) << "blocks leaked or lost";
    EXPECT_EQ(bytesOf(object), before);
  }
  EXPECT_TRUE(landed);
  for (unsigned int i = 0; i < list.num_entries; ++i) attr_free(&list.entries[i]);
  std::free(list.entries);
}
#endif

}  // namespace
