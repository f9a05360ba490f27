// Array lists, hash key maps and hash sets: owning semantics, deep copies,
// look-up by any string class, order and removal.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "foundation/zarraylist.h"
#include "foundation/zexception.h"
#include "foundation/zhashkeymap.h"
#include "foundation/zstring.h"

namespace {

std::string textOf(const ZObject_7_0_0* o) {
  auto* s = dynamic_cast<const ZAbstractString_7_0_0*>(o);
  return s ? std::string(s->getChars(), s->getLength()) : "(not a string)";
}

TEST(ZArrayList, OwningListStoresCopies) {
  ZArrayList_7_0_0 list(1, 1);
  ZUTF8String_7_0_0 a("a");
  list.add(&a);
  a.append("changed");
  EXPECT_EQ(textOf(list.get(0)), "a");
  EXPECT_NE(list.get(0), &a);
}

TEST(ZArrayList, NonOwningListStoresPointers) {
  ZArrayList_7_0_0 list(10, 0);
  ZUTF8String_7_0_0 a("a");
  list.add(&a);
  EXPECT_EQ(list.get(0), &a);
}

TEST(ZArrayList, IndexingSetAndRemove) {
  ZArrayList_7_0_0 list(1, 1);
  for (const char* t : {"a", "b", "c", "d", "e"}) {
    ZUTF8String_7_0_0 s(t);
    list.add(&s);
  }
  ASSERT_EQ(list.size(), 5);
  EXPECT_EQ(list.get(5), nullptr);
  EXPECT_EQ(list.get(-1), nullptr);
  ZUTF8String_7_0_0 x("x");
  list.set(1, &x);
  list.remove(0);
  list.remove(99);  // nothing
  std::vector<std::string> got;
  for (int i = 0; i < list.size(); ++i) got.push_back(textOf(list.get(i)));
  EXPECT_EQ(got, (std::vector<std::string>{"x", "c", "d", "e"}));
  EXPECT_THROW(list.set(4, &x), ZInvalidParameterException_7_0_0);
  list.removeAll();
  EXPECT_TRUE(list.isEmpty());
}

TEST(ZArrayList, CopiesOfAnOwningListAreDeep) {
  ZArrayList_7_0_0 list(2, 1);
  ZUTF8String_7_0_0 a("a");
  list.add(&a);
  ZArrayList_7_0_0 copy(list);
  static_cast<ZUTF8String_7_0_0*>(copy.get(0))->append("!");
  EXPECT_EQ(textOf(list.get(0)), "a");
  EXPECT_EQ(textOf(copy.get(0)), "a!");
  std::unique_ptr<ZObject_7_0_0> cloned(list.clone());
  EXPECT_NE(static_cast<ZArrayList_7_0_0*>(cloned.get())->get(0), list.get(0));
  ZArrayList_7_0_0 assigned(1, 1);
  assigned = list;
  assigned = assigned;
  EXPECT_EQ(textOf(assigned.get(0)), "a");
}

TEST(ZArrayList, AddingAnObjectThatCannotBeCopiedRaises) {
  ZArrayList_7_0_0 list(1, 1);
  ZObject_7_0_0 plain;  // the base class has no copy
  EXPECT_THROW(list.add(&plain), ZOutOfMemoryException_7_0_0);
  EXPECT_EQ(list.size(), 0);
}

TEST(ZHashKeyMap, LooksUpByTextWhicheverStringClassCarriesIt) {
  ZHashKeyMap_7_0_0 map(50, 1);
  ZUTF8String_7_0_0 value("/srv/orn/etc/orn.conf");
  map.putEntry(ZLCString_7_0_0("/opt/BrenmoorWarden/etc/orn.conf"), &value);
  const char key[] = "/opt/BrenmoorWarden/etc/orn.conf";
  for (const ZAbstractString_7_0_0* probe :
       std::initializer_list<const ZAbstractString_7_0_0*>{
           new ZLCString_7_0_0(key), new ZUTF8String_7_0_0(key), new ZLCConstString_7_0_0(key),
           new ZUTF8ConstString_7_0_0(key)}) {
    EXPECT_EQ(textOf(map.getEntry(*probe)), "/srv/orn/etc/orn.conf");
    EXPECT_TRUE(map.contains(*probe));
    delete probe;
  }
  EXPECT_EQ(map.getEntry(ZLCConstString_7_0_0("/opt/BrenmoorWarden/etc/orn.con")), nullptr);
  EXPECT_EQ(map.getEntry(ZLCConstString_7_0_0("/OPT/BrenmoorWarden/etc/orn.conf")), nullptr);
}

TEST(ZHashKeyMap, PuttingAPresentKeyReplacesItsValue) {
  ZHashKeyMap_7_0_0 map(1, 1);
  ZUTF8String_7_0_0 a("/a"), b("/b");
  map.putEntry(ZLCConstString_7_0_0("#setting"), &a);
  map.putEntry(ZUTF8String_7_0_0("#setting"), &b);
  EXPECT_EQ(map.size(), 1);
  EXPECT_EQ(textOf(map.getEntry(ZLCConstString_7_0_0("#setting"))), "/b");
}

TEST(ZHashKeyMap, OwningMapKeepsCopiesOfKeysAndValues) {
  ZHashKeyMap_7_0_0 map(4, 1);
  char key[] = "key";
  {
    ZUTF8String_7_0_0 value("value");
    map.putEntry(ZLCConstString_7_0_0(key), &value);  // both temporaries
  }
  key[0] = 'X';  // the caller's text changes; the stored key does not
  EXPECT_EQ(textOf(map.getEntry(ZLCConstString_7_0_0("key"))), "value");
}

TEST(ZHashKeyMap, KeysAreListedInInsertionOrderAcrossGrowthAndRemoval) {
  ZHashKeyMap_7_0_0 map(1, 1);
  std::vector<std::string> expected;
  for (int i = 0; i < 300; ++i) {
    std::string k = "/opt/BrenmoorWarden/etc/file" + std::to_string(i);
    ZUTF8String_7_0_0 v(i);
    map.putEntry(ZLCConstString_7_0_0(k.c_str()), &v);
    expected.push_back(k);
  }
  for (int i = 0; i < 300; i += 3) map.removeEntry(ZLCConstString_7_0_0(expected[i].c_str()));
  map.removeEntry(ZLCConstString_7_0_0("absent"));
  std::vector<std::string> kept;
  for (int i = 0; i < 300; ++i)
    if (i % 3) kept.push_back(expected[i]);
  ZArrayList_7_0_0 keys(10, 0), values(10, 0);
  map.listKeys(keys);
  map.listObjects(values);
  ASSERT_EQ(keys.size(), static_cast<int>(kept.size()));
  ASSERT_EQ(map.size(), static_cast<int>(kept.size()));
  for (int i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(textOf(keys.get(i)), kept[i]);
    EXPECT_EQ(textOf(map.getEntry(*static_cast<ZAbstractString_7_0_0*>(keys.get(i)))),
              textOf(values.get(i)));
  }
  for (int i = 0; i < 300; ++i)
    EXPECT_EQ(map.contains(ZLCConstString_7_0_0(expected[i].c_str())), i % 3 != 0);
}

// Names handed over as plain text (the name/value tree's way) keep their
// texts in the map's own store, which grows in chunks, gathers itself up
// after removals and makes key objects only when keys are listed.
class TextNames : public ::testing::Test {
 protected:
  // Names of every length up to 300 bytes, and two far beyond a chunk.
  void SetUp() override {
    for (int i = 0; i < 2000; ++i) names_.push_back(std::string(i % 301, static_cast<char>('a' + i % 26)) + std::to_string(i));
    names_.push_back(std::string(100000, 'L'));
    names_.push_back(std::string(40000, 'M') + '\0' + "after a NUL");
    for (const std::string& n : names_) adopt(map_, n);
  }

  static void adopt(ZHashKeyMap_7_0_0& map, const std::string& name) {
    auto* value = new ZUTF8String_7_0_0(("value of " + name.substr(0, 20)).c_str());
    bool adopted = false;
    EXPECT_EQ(map.adoptTextIfAbsent(name.data(), name.size(), value, adopted), value);
    EXPECT_TRUE(adopted);
  }

  static std::string valueFor(const std::string& name) { return "value of " + name.substr(0, 20); }

  static std::string found(const ZHashKeyMap_7_0_0& map, const std::string& name) {
    return textOf(map.find(name.data(), name.size()));
  }

  void removeName(std::size_t i) {
    map_.removeEntry(ZUTF8ConstString_7_0_0(names_[i].data(), names_[i].size()));
  }

  std::vector<std::string> names_;
  ZHashKeyMap_7_0_0 map_{4, 1};
};

TEST_F(TextNames, EveryNameIsFoundAndListedAsItWasGiven) {
  ASSERT_EQ(map_.size(), static_cast<int>(names_.size()));
  for (const std::string& n : names_) ASSERT_EQ(found(map_, n), valueFor(n)) << n.size();
  // A name already present leaves the caller's value with the caller.
  ZUTF8String_7_0_0 spare("spare");
  bool adopted = true;
  EXPECT_EQ(textOf(map_.adoptTextIfAbsent(names_[7].data(), names_[7].size(), &spare, adopted)), valueFor(names_[7]));
  EXPECT_FALSE(adopted);
  ZArrayList_7_0_0 keys(10, 0);
  map_.listKeys(keys);
  ASSERT_EQ(keys.size(), static_cast<int>(names_.size()));
  for (int i = 0; i < keys.size(); ++i) ASSERT_EQ(textOf(keys.get(i)), names_[i]) << i;
  // Listed again: the same key objects.
  ZArrayList_7_0_0 again(10, 0);
  map_.listKeys(again);
  for (int i = 0; i < keys.size(); ++i) ASSERT_EQ(again.get(i), keys.get(i));
}

TEST_F(TextNames, ListedKeysAndTheOtherNamesOutliveRemovalsThatGatherTheStoreUp) {
  // Keys listed before the removals stay valid for the names left, whether
  // their texts were listed or not.
  ZArrayList_7_0_0 early(10, 0);
  map_.listKeys(early);
  std::vector<const ZObject_7_0_0*> keyOf(names_.size());
  for (int i = 0; i < early.size(); ++i) keyOf[i] = early.get(i);
  std::vector<bool> kept(names_.size(), true);
  // Sixteen names in seventeen go, the two longest first, so that the
  // store is gathered up twice.
  for (std::size_t i : {names_.size() - 1, names_.size() - 2}) {
    removeName(i);
    kept[i] = false;
  }
  for (std::size_t i = 0; i + 2 < names_.size(); ++i) {
    if (i % 17 == 3) continue;
    removeName(i);
    kept[i] = false;
  }
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (!kept[i]) {
      ASSERT_EQ(map_.find(names_[i].data(), names_[i].size()), nullptr) << i;
      continue;
    }
    ASSERT_EQ(found(map_, names_[i]), valueFor(names_[i])) << i;
    ASSERT_EQ(textOf(keyOf[i]), names_[i]) << i;
  }
  ZArrayList_7_0_0 late(10, 0);
  map_.listKeys(late);
  std::size_t at = 0;
  for (std::size_t i = 0; i < names_.size(); ++i)
    if (kept[i]) {
      ASSERT_EQ(late.get(static_cast<int>(at++)), keyOf[i]) << i;
    }
  EXPECT_EQ(at, static_cast<std::size_t>(late.size()));
  // Names added after the removals go into the gathered store.
  for (int i = 0; i < 500; ++i) adopt(map_, "later " + std::to_string(i));
  for (int i = 0; i < 500; ++i) ASSERT_EQ(found(map_, "later " + std::to_string(i)), valueFor("later " + std::to_string(i)));
  for (std::size_t i = 0; i < names_.size(); ++i)
    if (kept[i]) {
      ASSERT_EQ(found(map_, names_[i]), valueFor(names_[i])) << i;
    }
}

TEST_F(TextNames, EmptiedOneByOneAndFilledAgain) {
  for (std::size_t i = 0; i < names_.size(); ++i) removeName(i);
  EXPECT_TRUE(map_.isEmpty());
  for (std::size_t i = 0; i < names_.size(); i += 2) adopt(map_, names_[i]);
  for (std::size_t i = 0; i < names_.size(); ++i)
    ASSERT_EQ(map_.contains(ZUTF8ConstString_7_0_0(names_[i].data(), names_[i].size())), i % 2 == 0) << i;
}

TEST_F(TextNames, MarkedNamesGoTogetherInOneSweep) {
  // Some names with key objects, and one name stored with a key object
  // from the start: marking works on either kind.
  ZArrayList_7_0_0 early(10, 0);
  map_.listKeys(early);
  ZUTF8String_7_0_0 keyed("keyed value");
  map_.putEntry(ZUTF8ConstString_7_0_0("keyed"), &keyed);
  std::vector<bool> kept(names_.size(), true);
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (i % 17 == 3) continue;
    map_.markForRemoval(names_[i].data(), names_[i].size());
    kept[i] = false;
  }
  map_.markForRemoval(names_[5].data(), names_[5].size());  // marked twice
  map_.markForRemoval("absent", 6);
  map_.markForRemoval("keyed", 5);
  // Marked names are no longer found, the others are, before the sweep.
  for (std::size_t i = 0; i < names_.size(); ++i)
    ASSERT_EQ(map_.find(names_[i].data(), names_[i].size()) != nullptr, static_cast<bool>(kept[i])) << i;
  EXPECT_EQ(map_.find("keyed", 5), nullptr);
  map_.sweepMarked();
  std::vector<const ZObject_7_0_0*> expectedKeys;
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (!kept[i]) continue;
    ASSERT_EQ(found(map_, names_[i]), valueFor(names_[i])) << i;
    expectedKeys.push_back(early.get(static_cast<int>(i)));
  }
  ASSERT_EQ(map_.size(), static_cast<int>(expectedKeys.size()));
  ZArrayList_7_0_0 late(10, 0);
  map_.listKeys(late);
  for (int i = 0; i < late.size(); ++i) ASSERT_EQ(late.get(i), expectedKeys[i]) << i;
  // The table takes new names, and a sweep with nothing marked changes nothing.
  for (int i = 0; i < 300; ++i) adopt(map_, "after " + std::to_string(i));
  map_.sweepMarked();
  EXPECT_EQ(map_.size(), static_cast<int>(expectedKeys.size()) + 300);
  EXPECT_EQ(found(map_, "after 299"), valueFor("after 299"));
}

TEST_F(TextNames, CopiesAssignmentsAndPutAllCarryEveryName) {
  ZArrayList_7_0_0 some(10, 0);
  ZHashKeyMap_7_0_0 half(4, 1);
  for (std::size_t i = 0; i < names_.size(); i += 2) adopt(half, names_[i]);
  half.listKeys(some);  // half of the names with key objects, half without
  for (std::size_t i = 1; i < names_.size(); i += 2) adopt(half, names_[i]);
  std::vector<std::string> order;  // insertion order: the even names, then the odd ones
  for (std::size_t i = 0; i < names_.size(); i += 2) order.push_back(names_[i]);
  for (std::size_t i = 1; i < names_.size(); i += 2) order.push_back(names_[i]);

  ZHashKeyMap_7_0_0 copy(half);
  ZHashKeyMap_7_0_0 assigned(4, 1);
  adopt(assigned, "dropped by the assignment");
  assigned = half;
  ZHashKeyMap_7_0_0 merged(4, 1);
  merged.putAll(half);
  for (ZHashKeyMap_7_0_0* m : {&copy, &assigned, &merged}) {
    ASSERT_EQ(m->size(), static_cast<int>(names_.size()));
    for (const std::string& n : names_) ASSERT_EQ(found(*m, n), valueFor(n)) << n.size();
    ZArrayList_7_0_0 keys(10, 0);
    m->listKeys(keys);
    for (int i = 0; i < keys.size(); ++i) ASSERT_EQ(textOf(keys.get(i)), order[i]) << i;
  }
  // The copies are the copies' own.
  half.removeAll();
  EXPECT_EQ(found(copy, names_[3]), valueFor(names_[3]));
}

TEST(ZHashKeyMap, NullValuesArePresentKeys) {
  ZHashKeyMap_7_0_0 map(4, 1);
  map.putEntry(ZLCConstString_7_0_0("k"), nullptr);
  EXPECT_TRUE(map.contains(ZLCConstString_7_0_0("k")));
  EXPECT_EQ(map.getEntry(ZLCConstString_7_0_0("k")), nullptr);
  EXPECT_EQ(map.size(), 1);
}

TEST(ZHashKeyMap, CopiesAreDeepAndAssignmentReplacesTheContent) {
  ZHashKeyMap_7_0_0 map(2, 1);
  ZUTF8String_7_0_0 v("v");
  map.putEntry(ZLCConstString_7_0_0("a"), &v);
  ZHashKeyMap_7_0_0 copy(map);
  static_cast<ZUTF8String_7_0_0*>(copy.getEntry(ZLCConstString_7_0_0("a")))->append("2");
  EXPECT_EQ(textOf(map.getEntry(ZLCConstString_7_0_0("a"))), "v");
  ZHashKeyMap_7_0_0 other(2, 1);
  other.putEntry(ZLCConstString_7_0_0("b"), &v);
  other = map;
  EXPECT_EQ(other.getEntry(ZLCConstString_7_0_0("b")), nullptr);
  EXPECT_EQ(textOf(other.getEntry(ZLCConstString_7_0_0("a"))), "v");
  other = other;
  EXPECT_EQ(other.size(), 1);
  other.putAll(copy);
  EXPECT_EQ(textOf(other.getEntry(ZLCConstString_7_0_0("a"))), "v2");
  other.removeAll();
  EXPECT_TRUE(other.isEmpty());
  EXPECT_EQ(other.getEntry(ZLCConstString_7_0_0("a")), nullptr);
}

TEST(ZHashKeyMap, NonOwningMapStoresTheCallersObjects) {
  ZHashKeyMap_7_0_0 map(4, 0);
  ZUTF8String_7_0_0 key("k"), value("v");
  map.putEntry(key, &value);
  EXPECT_EQ(map.getEntry(ZLCConstString_7_0_0("k")), &value);
  ZArrayList_7_0_0 keys(10, 0);
  map.listKeys(keys);
  EXPECT_EQ(keys.get(0), &key);
}

TEST(ZHashKeyMap, EmptyKeyIsAKeyLikeAnyOther) {
  ZHashKeyMap_7_0_0 map(4, 1);
  ZUTF8String_7_0_0 v("empty");
  map.putEntry(ZLCConstString_7_0_0(""), &v);
  EXPECT_EQ(textOf(map.getEntry(ZUTF8ConstString_7_0_0(""))), "empty");
}

TEST(ZHashMap, SetOfObjectsByHashAndEquals) {
  ZHashMap_7_0_0 set(10, 0);
  static const ZUTF8ConstString_7_0_0 names[] = {"resourcepassword", "pwd", "password", "server_pwd"};
  for (const auto& n : names) set.add(&n);
  set.add(&names[1]);  // already present
  EXPECT_EQ(set.size(), 4);
  EXPECT_TRUE(set.contains(ZUTF8ConstString_7_0_0("password")));
  EXPECT_TRUE(set.contains(ZLCString_7_0_0("pwd")));
  EXPECT_FALSE(set.contains(ZUTF8ConstString_7_0_0("PASSWORD")));
}

TEST(ZHashMap, RemovalKeepsEveryOtherElementReachable) {
  ZHashMap_7_0_0 set(1, 1);
  std::set<std::string> present;
  for (int i = 0; i < 500; ++i) {
    ZUTF8String_7_0_0 s(i);
    set.add(&s);
    present.insert(s.getChars());
  }
  for (int i = 0; i < 500; i += 2) {
    ZUTF8String_7_0_0 s(i);
    set.remove(s);
    present.erase(s.getChars());
  }
  EXPECT_EQ(set.size(), static_cast<int>(present.size()));
  for (int i = 0; i < 500; ++i) {
    ZUTF8String_7_0_0 s(i);
    EXPECT_EQ(set.contains(s), present.count(s.getChars()) == 1) << i;
  }
  ZHashMap_7_0_0 copy(set);
  EXPECT_EQ(copy.size(), set.size());
}

}  // namespace
