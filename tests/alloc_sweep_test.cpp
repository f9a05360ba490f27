// Exhausted memory at every allocation of every exported entry point.
//
// Each row names a group of exported functions (by patterns over their
// demangled names) and sweeps their main paths: the 1st, 2nd, ...
// allocation fails in turn until a call meets no failing allocation. At
// every step the row checks the documented outcome of exhausted memory
// (ZOutOfMemoryException_7_0_0 with a source position from C++ entry
// points; the documented status, null or abort from C ones), that the
// object is as it was (or as documented), and the driver checks that no
// other exception escaped and that no block leaked.
//
// The last test checks that every symbol listed in symbols/ belongs to a row
// (or to the table of data and type information, which has nothing to call),
// and prints how many allocation points each module went through.
//
// State that lives once per process (start-up, the path map, the message
// caches, the compliance mode, the lock factory, the names not to trace) is
// swept in a child process inside a private mount namespace, with one
// forked grandchild per failing allocation.
#include "tests/support/alloc_hook.h"
#include "tests/support/alloc_sweep.h"

#include <cxxabi.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "KelCore/OrnObject.h"
#include "KelCore/attrlist.h"
#include "foundation/msgcat.h"
#include "foundation/ornasn.h"
#include "foundation/svc.h"
#include "foundation/zarraylist.h"
#include "foundation/zexception.h"
#include "foundation/zhashkeymap.h"
#include "foundation/zjavaproperties.h"
#include "foundation/zlock.h"
#include "foundation/zmbchar.h"
#include "foundation/zmessageservice.h"
#include "foundation/zproperties.h"
#include "foundation/zrwlock.h"
#include "foundation/zstanzafile.h"
#include "foundation/zstring.h"
#include "tests/support/child_process.h"
#include "tests/support/sandbox.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"
#include "util/KelMsg.h"
#include "util/MrProcessLock.h"
#include "util/NameValueMap.h"
#include "util/OrnMessageService.h"
#include "util/OrnStanzaFileProperties.h"
#include "util/cfgfile.h"
#include "util/encode.h"
#include "util/fipsMode.h"
#include "util/getpath.h"
#include "util/kellock.h"
#include "util/kelwchar.h"
#include "util/mbs_sprintf.h"
#include "util/mime64_new.h"
#include "util/patquote.h"

using ornutil_test::Outcome;
using ornutil_test::Step;
using ornutil_test::sweep;
using ornutil_test::sweepInChildren;

namespace {

// ---------------------------------------------------------------- helpers

// Allocation points per module, summed over the rows (printed at the end).
std::map<std::string, long>& pointsByModule() {
  static std::map<std::string, long> points;
  return points;
}

// One case of a row: a description and a body for the sweep.
struct Case {
  const char* what;
  std::function<void(Step&)> body;
  const char* openFault = nullptr;  // a fault found and not yet fixed: the case is reported, not run
};

// Sweeps every case; returns the allocation points of all of them.
long sweepCases(const std::vector<Case>& cases) {
  long total = 0;
  for (const Case& c : cases) {
    // ORNUTIL_SWEEP_OPEN=1 runs the open cases too, to work on their faults.
    if (c.openFault && !std::getenv("ORNUTIL_SWEEP_OPEN")) {
      std::printf("[ open     ] %s: %s\n", c.what, c.openFault);
      continue;
    }
    SCOPED_TRACE(c.what);
    long points = sweep(c.body);
    if (points < 0) return total;
    total += points;
  }
  return total;
}

std::string scratch() {
  static ornutil_test::TempDir* dir = new ornutil_test::TempDir();  // lives as long as the process
  return dir->path();
}

// A fresh file name per call: the registry keeps every file it has loaded.
// Each in a directory of its own: a store reads its whole directory (for
// leftover temporaries), and one shared directory growing with every step
// would keep the sweep reaching new allocations forever.
std::string freshFile(const std::string& content) {
  static int serial = 0;
  std::string dir = scratch() + "/f" + std::to_string(++serial);
  mkdir(dir.c_str(), 0700);
  std::string name = dir + "/cfg.conf";
  ornutil_test::writeFile(name, content);
  return name;
}

const char kStanzaText[] =
    "# file comment\n"
    "[meta-info]\n"
    "version = 1792\n"
    "[s]\n"
    "# about k\n"
    "k = v1\n"
    "k = v2\n"
    "n = 42\n"
    "b = yes\n"
    "[t]\n"
    "x = 1\n";

ZStanzaFileProperties_7_0_0* newStanza(const char* text = kStanzaText) {
  auto* f = new ZStanzaFileProperties_7_0_0(1);
  f->parseText(text, "test");
  return f;
}

// Every known message id, from the message table.
std::vector<unsigned int> knownIds() {
  std::vector<unsigned int> ids;
  std::ifstream in(std::string(ORNUTIL_SOURCE_DIR) + "/foundation/messages.def");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("ORN_MSG(0x", 0) == 0) ids.push_back(std::stoul(line.substr(8, 10), nullptr, 16));
  return ids;
}

std::string listText(const ZArrayList_7_0_0& list) {
  std::string out;
  for (int i = 0; i < list.size(); ++i) {
    auto* s = dynamic_cast<const ZAbstractString_7_0_0*>(list.get(i));
    out += s ? s->getChars() : "<null>";
    out += ",";
  }
  return out;
}

std::string mapText(const ZHashKeyMap_7_0_0& map) {
  ZArrayList_7_0_0 keys(4, 0);
  map.listKeys(keys);
  std::string out;
  for (int i = 0; i < keys.size(); ++i) {
    auto* k = static_cast<const ZAbstractString_7_0_0*>(keys.get(i));
    auto* v = dynamic_cast<const ZAbstractString_7_0_0*>(map.getEntry(*k));
    out += std::string(k->getChars()) + "=" + (v ? v->getChars() : "<null>") + ";";
  }
  return out;
}

// The caller's side of the foundation's allocation contract: a null from a
// ZObject_7_0_0 new-expression or from clone() means exhausted memory.
template <typename T>
T* made(T* object) {
  if (!object) ornz::throwOutOfMemory("tests/alloc_sweep", __LINE__);
  return object;
}

// Probes for the protected members of exported classes.
struct MutableProbe : ZUTF8String_7_0_0 {
  using ZUTF8String_7_0_0::ZUTF8String_7_0_0;
  void grow(std::size_t n) { reserve(n); }
  void cut(std::size_t n) { setLength(n); }
};
struct ConcurrentMap : ZHashKeyMap_7_0_0 {
  void share() { enableConcurrentReaders(); }
};
struct ExceptionProbe : ZException_7_0_0 {
  ExceptionProbe() : ZException_7_0_0(11, "probe") {}
  void at(const char* file, int line) { setPosition(file, line); }
};
struct StanzaProbe : ZStanzaFileProperties_7_0_0 {
  StanzaProbe() : ZStanzaFileProperties_7_0_0(1) {}
  void read(const char* file) { readFile(file); }
  bool holds(const char* file) const { return holdsLockOf(file); }
};
struct PlainObject : ZObject_7_0_0 {};
struct TestFactory : ZAbstractPropertiesFactory_7_0_0 {
  ZProperties_7_0_0* makePropertiesInstance() override { return new ZStanzaFileProperties_7_0_0(1); }
};

// A foundation list of UTF-8 strings (owning).
void fill(ZArrayList_7_0_0& list, std::initializer_list<const char*> texts) {
  for (const char* t : texts) {
    ZUTF8String_7_0_0 s(t);
    list.add(&s);
  }
}

value_s_t stringValue(const char* text) { return value_s_t{ATTR_VALUE_STRING, const_cast<char*>(text), 0, nullptr}; }

std::string attrText(const attrlist_s_t& l) {
  std::string out;
  for (unsigned int i = 0; i < l.num_entries; ++i) {
    out += std::string(l.entries[i].name) + ":";
    for (unsigned int v = 0; v < l.entries[i].num_values; ++v) {
      const value_s_t& val = l.entries[i].values[v];
      out += std::to_string(val.type) + "/" + (val.str ? val.str : "-") + "/" + std::to_string(val.length) + ",";
    }
    out += ";";
  }
  return out;
}

void freeList(attrlist_s_t& l) {
  for (unsigned int i = 0; i < l.num_entries; ++i) attr_free(&l.entries[i]);
  std::free(l.entries);
  l.entries = nullptr;
  l.num_entries = 0;
}

std::string treeText(const NameValueMap& map) {
  ZUTF8String_7_0_0 out;
  map.buildTraceBuf(out, 0);
  return out.getChars();
}

std::string objectText(const OrnObject& o) {
  orn_asn_buffer_t b{0, nullptr};
  unsigned long status = 0;
  o.encode(b, status);
  std::string out(reinterpret_cast<const char*>(b.data), b.data ? b.length : 0);
  orn_asn_buffer_free(&b);
  return std::to_string(status) + ":" + out;
}

// ---------------------------------------------------------------- rows

struct Row {
  const char* name;         // the test's name
  const char* description;  // what the row sweeps
  const char* module;       // symbols/<module>.txt the points count for
  const char* covers;       // a regular expression over demangled exported names
  long (*run)();
  const char* skip = nullptr;  // a known fault of code another owner is changing
};

// Failure messages and test listings name a row, not its 48 bytes.
void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

// --- foundation: strings
long strings() {
  const std::string longText(100, 'x');
  const char* lt = longText.c_str();
  return sweepCases({
      {"constructors copy the text",
       [&](Step& s) {
         std::string got;
         if (s.cxx([&] {
               ZUTF8String_7_0_0 a(lt);
               ZUTF8String_7_0_0 b(lt, 50);
               ZUTF8String_7_0_0 c(a);
               ZUTF8String_7_0_0 d(static_cast<const ZAbstractString_7_0_0&>(b));
               ZUTF8String_7_0_0 e(-12345);
               ZLCString_7_0_0 f(lt);
               ZLCString_7_0_0 g(lt, 60);
               ZLCString_7_0_0 h(f);
               ZLCString_7_0_0 i(static_cast<const ZAbstractString_7_0_0&>(a));
               ZLCString_7_0_0 j;
               ZUTF8String_7_0_0 k;
               ZLCConstString_7_0_0 l(lt);
               ZLCConstString_7_0_0 m(lt, 3);
               ZUTF8ConstString_7_0_0 n(lt);
               ZUTF8ConstString_7_0_0 o(lt, 3);
               got = std::to_string(a.getLength() + b.getLength() + c.getLength() + d.getLength() + f.getLength() +
                                    g.getLength() + h.getLength() + i.getLength() + l.getLength() + m.getLength() +
                                    n.getLength() + o.getLength() + j.getLength() + k.getLength()) +
                     e.getChars();
             }) == Outcome::Done) {
           EXPECT_EQ(got, "866-12345");
         }
       }},
      {"append keeps the text when it cannot grow",
       [&](Step& s) {
         ZUTF8String_7_0_0 a("start");
         ZLCString_7_0_0 b("start");
         ZUTF8ConstString_7_0_0 view(lt);
         int step = 0;
         Outcome o = s.cxx([&] {
           a.append(lt);
           ++step;
           b.append(lt, 30);
           ++step;
           a.append(view);
           ++step;
         });
         const std::string full = "start" + longText + longText;
         if (o == Outcome::Done) {
           EXPECT_EQ(a.getChars(), full);
           EXPECT_EQ(std::string(b.getChars()), "start" + longText.substr(0, 30));
         } else {
           EXPECT_EQ(std::string(a.getChars()), step == 0 ? "start" : "start" + longText);
           EXPECT_EQ(std::strlen(a.getChars()), a.getLength());
           EXPECT_EQ(std::string(b.getChars()), step <= 1 ? "start" : "start" + longText.substr(0, 30));
         }
       }},
      {"assignments keep the text when they cannot copy",
       [&](Step& s) {
         ZUTF8String_7_0_0 a("old");
         ZLCString_7_0_0 b("old");
         ZUTF8String_7_0_0 src(lt);
         ZLCString_7_0_0 lsrc(lt);
         int step = 0;
         Outcome o = s.cxx([&] {
           a.assign(lt);
           ++step;
           a.assign("short", 5);
           ++step;
           a = src;
           ++step;
           a = "tiny";
           ++step;
           b = lsrc;
           ++step;
           b = lt;
           ++step;
           a.assign(lt, 80);
           ++step;
         });
         if (o == Outcome::Done) {
           EXPECT_EQ(std::string(a.getChars()), longText.substr(0, 80));
           EXPECT_EQ(std::string(b.getChars()), longText);
         } else {
           // The failing assignment left its target as the previous one did.
           const char* before[] = {"old", longText.c_str(), "short", longText.c_str(), "tiny", "tiny", "tiny"};
           EXPECT_STREQ(a.getChars(), before[step]);
           EXPECT_STREQ(b.getChars(), step < 5 ? "old" : longText.c_str());
         }
       }},
      {"reserve and setLength of a mutable string",
       [&](Step& s) {
         MutableProbe p("abc");
         if (s.cxx([&] {
               p.grow(500);
               p.cut(2);
             }) == Outcome::Done)
           EXPECT_STREQ(p.getChars(), "ab");
         else
           EXPECT_STREQ(p.getChars(), "abc");
       }},
      {"clones",
       [&](Step& s) {
         ZUTF8String_7_0_0 a(lt);
         ZLCString_7_0_0 b(lt);
         ZLCConstString_7_0_0 c(lt);
         ZUTF8ConstString_7_0_0 d(lt);
         ZObject_7_0_0* made[4] = {};
         Outcome o = s.cxx([&] {
           made[0] = a.clone();
           made[1] = b.clone();
           made[2] = c.clone();
           made[3] = d.clone();
         });
         // A clone is null when it cannot be allocated (the documented
         // outcome of clone), or a whole copy.
         for (ZObject_7_0_0* m : made) {
           if (o == Outcome::Done && !s.failed()) { ASSERT_NE(m, nullptr); }
           if (m) { EXPECT_TRUE(m->equals(a)); }
           delete m;
         }
       }},
      {"reading, comparing, hashing and upper-casing allocate nothing",
       [&](Step& s) {
         ZUTF8String_7_0_0 a(lt);
         ZLCConstString_7_0_0 b(lt);
         bool same = false;
         s.cxx([&] {
           a.upper();
           same = a.equals(b) || a.compare(b) != 0 || a.hash() != 0 || a.compareTo("x") != 0;
           a.clear();
         });
         EXPECT_TRUE(same);
       }},
  });
}

// --- foundation: containers
long containers() {
  return sweepCases({
      {"array list add, set, copy, assign and clone keep the list",
       [](Step& s) {
         ZArrayList_7_0_0 list(1, 1);
         fill(list, {"one", "two"});
         ZArrayList_7_0_0 plain(1, 0);
         ZUTF8String_7_0_0 keep("kept");
         plain.add(&keep);
         ZArrayList_7_0_0 target(2, 1);
         fill(target, {"t"});
         ZUTF8String_7_0_0 three("three"), other("other");
         ZArrayList_7_0_0* copy = nullptr;
         ZObject_7_0_0* clone = nullptr;
         int step = 0;
         Outcome o = s.cxx([&] {
           list.add(&three);
           ++step;
           plain.add(&three);
           ++step;
           list.set(0, &other);
           ++step;
           copy = made(new ZArrayList_7_0_0(list));
           ++step;
           target = list;
           ++step;
           clone = made(list.clone());
           ++step;
         });
         if (o == Outcome::Done) {
           EXPECT_EQ(listText(list), "other,two,three,");
           EXPECT_EQ(listText(*copy), "other,two,three,");
           EXPECT_EQ(listText(target), "other,two,three,");
           EXPECT_EQ(listText(*static_cast<ZArrayList_7_0_0*>(clone)), "other,two,three,");
         } else {
           EXPECT_EQ(listText(list), step == 0 ? "one,two," : step <= 2 ? "one,two,three," : "other,two,three,");
           EXPECT_EQ(listText(plain), step <= 1 ? "kept," : "kept,three,");
           if (step <= 4) { EXPECT_EQ(listText(target), "t,"); }
         }
         delete copy;
         delete clone;
       }},
      {"array list reading and removing allocate nothing",
       [](Step& s) {
         ZArrayList_7_0_0 list(4, 1);
         fill(list, {"a", "b", "c"});
         s.cxx([&] {
           list.get(1);
           list.remove(0);
           list.size();
           list.removeAll();
         });
         EXPECT_EQ(list.size(), 0);
       }},
      {"key map put, put all, copy, assign, clone and listing keep the map",
       [](Step& s) {
         ZHashKeyMap_7_0_0 map(2, 1);
         ZUTF8String_7_0_0 v1("v1"), v2("v2"), v3("v3");
         map.putEntry(ZUTF8ConstString_7_0_0("a"), &v1);
         map.putEntry(ZUTF8ConstString_7_0_0("b"), &v2);
         ZHashKeyMap_7_0_0 more(4, 1);
         for (const char* k : {"c", "d", "e"}) more.putEntry(ZUTF8ConstString_7_0_0(k), &v3);
         ZHashKeyMap_7_0_0 target(4, 1);
         target.putEntry(ZUTF8ConstString_7_0_0("t"), &v1);
         const std::string before = mapText(map);
         ZHashKeyMap_7_0_0* copy = nullptr;
         ZObject_7_0_0* clone = nullptr;
         ZArrayList_7_0_0 keys(1, 0), values(1, 0);
         int step = 0;
         Outcome o = s.cxx([&] {
           map.putEntry(ZUTF8ConstString_7_0_0("a"), &v3);
           ++step;
           map.putEntry(ZLCConstString_7_0_0("new key"), &v3);
           ++step;
           map.putAll(more);
           ++step;
           copy = made(new ZHashKeyMap_7_0_0(map));
           ++step;
           target = map;
           ++step;
           clone = made(map.clone());
           ++step;
           map.listKeys(keys);
           ++step;
           map.listObjects(values);
           ++step;
         });
         const std::string after = "a=v3;b=v2;new key=v3;c=v3;d=v3;e=v3;";
         if (o == Outcome::Done) {
           EXPECT_EQ(mapText(map), after);
           EXPECT_EQ(mapText(*copy), after);
           EXPECT_EQ(mapText(target), after);
           EXPECT_EQ(mapText(*static_cast<ZHashKeyMap_7_0_0*>(clone)), after);
           EXPECT_EQ(keys.size(), 6);
           EXPECT_EQ(values.size(), 6);
         } else if (step == 0) {
           EXPECT_EQ(mapText(map), before);
         } else if (step == 1) {
           EXPECT_EQ(mapText(map), "a=v3;b=v2;");
         } else if (step == 2) {
           // putAll is putEntry of each entry in turn: a prefix of them went in.
           EXPECT_EQ(mapText(map).rfind("a=v3;b=v2;new key=v3;", 0), 0u) << mapText(map);
         } else {
           EXPECT_EQ(mapText(map), after);
           if (step <= 4) { EXPECT_EQ(mapText(target), "t=v1;"); }
           EXPECT_EQ(keys.size(), step <= 6 ? 0 : 6);
           EXPECT_EQ(values.size(), 0);
         }
         delete copy;
         delete clone;
       }},
      {"key map look-ups allocate nothing; with readers, replacing and removing keep the map on failure",
       [](Step& s) {
         ConcurrentMap map;
         ZUTF8String_7_0_0 v("v"), w("w");
         map.putEntry(ZUTF8ConstString_7_0_0("a"), &v);
         map.putEntry(ZUTF8ConstString_7_0_0("b"), &v);
         if (s.cxx([&] { map.share(); }) != Outcome::Done) return;
         EXPECT_EQ(s.cxx([&] {
           map.find("a", 1);
           map.contains(ZUTF8ConstString_7_0_0("a"));
           map.getEntry(ZUTF8ConstString_7_0_0("a"));
           map.size();
           map.isEmpty();
         }),
                   Outcome::Done);
         Outcome o = s.cxx([&] { map.putEntry(ZUTF8ConstString_7_0_0("a"), &w); });
         EXPECT_EQ(mapText(map), o == Outcome::Done ? "a=w;b=v;" : "a=v;b=v;");
         o = s.cxx([&] { map.removeEntry(ZUTF8ConstString_7_0_0("a")); });
         EXPECT_EQ(mapText(map).find("b=v;") != std::string::npos && map.size() == (o == Outcome::Done ? 1 : 2), true)
             << mapText(map);
         o = s.cxx([&] { map.removeAll(); });
         EXPECT_EQ(map.isEmpty(), o == Outcome::Done);
       }},
      {"hash set add, copy, assign and clone keep the set",
       [](Step& s) {
         ZHashMap_7_0_0 set(2, 1);
         ZUTF8String_7_0_0 a("a"), b("b"), c("c"), d("d");
         set.add(&a);
         set.add(&b);
         ZHashMap_7_0_0 target(2, 1);
         target.add(&d);
         ZHashMap_7_0_0* copy = nullptr;
         ZObject_7_0_0* clone = nullptr;
         int step = 0;
         Outcome o = s.cxx([&] {
           set.add(&c);
           ++step;
           copy = made(new ZHashMap_7_0_0(set));
           ++step;
           target = set;
           ++step;
           clone = made(set.clone());
           ++step;
           set.remove(a);
           set.contains(b);
         });
         if (o == Outcome::Done) {
           EXPECT_EQ(set.size(), 2);
           EXPECT_EQ(copy->size(), 3);
           EXPECT_EQ(target.size(), 3);
           EXPECT_TRUE(static_cast<ZHashMap_7_0_0*>(clone)->contains(c));
         } else {
           EXPECT_EQ(set.size(), step == 0 ? 2 : 3);
           if (step <= 2) {
             EXPECT_EQ(target.size(), 1);
             EXPECT_TRUE(target.contains(d));
           }
         }
         delete copy;
         delete clone;
         set.removeAll();
       }},
      {"plain objects: clone, allocation operators",
       [](Step& s) {
         PlainObject p;
         ZObject_7_0_0* clone = nullptr;
         ZUTF8String_7_0_0* made = nullptr;
         Outcome o = s.cxx([&] {
           clone = p.clone();
           p.equals(p);
           p.compare(p);
           p.hash();
           made = new ZUTF8String_7_0_0("via ZObject new");
         });
         // ZObject_7_0_0's operator new gives null instead of throwing.
         if (o == Outcome::Done && !s.failed()) { EXPECT_NE(made, nullptr); }
         delete clone;
         delete made;
         auto* array = new ZUTF8String_7_0_0[2];
         delete[] array;
       }},
  });
}

// --- foundation: exceptions
long exceptions() {
  return sweepCases({
      {"an exception and its inserts are made, copied and thrown, or out of memory is raised",
       [](Step& s) {
         bool thrown = false;
         Outcome o = s.cxx([&] {
           ZException_7_0_0 e(28, "a long text that does not fit a short string buffer");
           e.addInsert("an insert longer than the short string buffer").addInsert(7);
           ZException_7_0_0 copy(e);
           ZException_7_0_0 other(2, "x");
           other = copy;
           ExceptionProbe probe;
           probe.at("foundation/a/long/source/path/name", 9);
           try {
             other.throwException("util/some/long/source/file/name", 12);
           } catch (ZException_7_0_0& got) {
             if (got.code == ornz::kCodeOutOfMemory) throw;
             thrown = got.code == 28 && got.inserts().size() == 2 && got.getLine() == 12;
             (void)got.what();
           }
         });
         if (o == Outcome::Done) { EXPECT_TRUE(thrown); }
       }},
      {"the derived exceptions and their throw helpers",
       [](Step& s) {
         int caught = 0;
         Outcome o = s.cxx([&] {
           try {
             ZInvalidParameterException_7_0_0("which parameter and why, at some length").throwException("util/x/y/z/w", 1);
           } catch (ZInvalidParameterException_7_0_0&) {
             ++caught;
           }
           try {
             ZInvalidParameterException_7_0_0().throwException("util/x/y/z/w", 1);
           } catch (ZInvalidParameterException_7_0_0&) {
             ++caught;
           }
           try {
             ZPropertiesInvalidDataException_7_0_0("/a/long/file/name/for/the/record.conf", 3, "what is wrong here")
                 .throwException("foundation/zstanzafile", 2);
           } catch (ZPropertiesInvalidDataException_7_0_0&) {
             ++caught;
           }
           try {
             ornz::fileException("/a/long/file/name/for/the/record.conf", ENOENT, false, "open")
                 .throwException("foundation/zstanzafile", 3);
           } catch (ZException_7_0_0& e) {
             if (e.code == ornz::kCodeOutOfMemory) throw;
             if (e.code == 12) ++caught;
           }
         });
         if (o == Outcome::Done) { EXPECT_EQ(caught, 4); }
       }},
      {"raising out of memory always gives out of memory",
       [](Step& s) {
         int caught = 0;
         s.cxx([&] {
           try {
             ornz::throwOutOfMemory("util/a/long/source/path/name", 5);
           } catch (ZOutOfMemoryException_7_0_0& e) {
             caught += e.code == 1;
           }
           try {
             ZOutOfMemoryException_7_0_0().throwException("util/a/long/source/path/name", 6);
           } catch (ZOutOfMemoryException_7_0_0& e) {
             caught += e.code == 1;
           }
         });
         EXPECT_EQ(caught, 2);
       }},
      {"reporting an exception never throws",
       [](Step& s) {
         ZException_7_0_0 e(12, "file not found");
         e.addInsert("/some/file").addInsert("reason");
         s.cxx([&] { e.report(); });
       }},
  });
}

// The numbers a stanza file reports about itself, added up.
long long total(const ZStanzaFileProperties_7_0_0& f) {
  return f.getIntegerValue("s", "n", 0, 0) + f.getLongLongValue("s", "n", 0, 0) + f.getBooleanValue("s", "b", 0, 0) +
         f.numValues("s") + f.numValues("s", "k") + f.count() + f.count("s") + f.exists("s") + f.exists("s", "k") +
         f.isObfuscated("s") + f.isObfuscated("s", "k") + f.checkAccess("s", "k", 0);
}

// --- foundation: properties and stanza files
long stanzaFiles() {
  // Each change is swept on its own object: done, or the file as it was.
  using Change = std::function<void(ZStanzaFileProperties_7_0_0&)>;
  auto unchanged = [](Step& s, const std::vector<Change>& changes) {
    for (const Change& change : changes) {
      std::unique_ptr<ZStanzaFileProperties_7_0_0> f(newStanza());
      const std::string before = f->text();
      std::unique_ptr<ZStanzaFileProperties_7_0_0> expected(newStanza());
      change(*expected);
      if (s.cxx([&] { change(*f); }) == Outcome::Done)
        EXPECT_EQ(f->text(), expected->text());
      else
        EXPECT_EQ(f->text(), before) << "a failed change must leave the file as it was";
      // The object still works, and a store writes what it shows.
      f->setValue("s", "after", "1", 0);
      EXPECT_NE(f->text().find("after = 1"), std::string::npos);
    }
  };
  static ZUTF8String_7_0_0 u("utf8 value");
  static ZLCString_7_0_0 l("lc value");
  static const std::string replacement = "[a]\nb = c\n[d]\ne = f\n";
  std::vector<Case> cases = {
      {"setValue of an existing key", [&](Step& s) { unchanged(s, {[](auto& f) { f.setValue("s", "k", "new value", 0); }}); }},
      {"setValue of a new key", [&](Step& s) { unchanged(s, {[](auto& f) { f.setValue("s", "new", "value", 0); }}); }},
      {"setValue of a new stanza and key",
       [&](Step& s) { unchanged(s, {[](auto& f) { f.setValue("new stanza", "new key", "value", 0); }}); }},
      {"setValue through the string classes and the typed setters",
       [&](Step& s) {
         unchanged(s, {[](ZProperties_7_0_0& p) { p.setValue("s", "a", u, 0); },
                       [](ZProperties_7_0_0& p) { p.setValue("s", "b", l, 0); },
                       [](ZProperties_7_0_0& p) { p.setValue("s", "c", ZLCConstString_7_0_0("lc view"), 0); },
                       [](ZProperties_7_0_0& p) { p.setValue("s", "d", ZUTF8ConstString_7_0_0("utf8 view"), 0); },
                       [](ZProperties_7_0_0& p) { p.setValue("s", "e", "three arguments"); },
                       [](ZProperties_7_0_0& p) { p.setIntegerValue("s", "f", 7u); },
                       [](ZProperties_7_0_0& p) { p.setLongLongValue("new", "g", -7); },
                       [](ZProperties_7_0_0& p) { p.setBooleanValue("s", "b", 1); }});
       }},
      {"addValue",
       [&](Step& s) {
         unchanged(s, {[](ZProperties_7_0_0& p) { p.addValue("s", "k", "v3", 0); },
                       [](ZProperties_7_0_0& p) { p.addValue("u", "k", u, 0); },
                       [](ZProperties_7_0_0& p) { p.addValue("s", "new", l, 0); },
                       [](ZProperties_7_0_0& p) { p.addValue("s", "k", ZLCConstString_7_0_0("x"), 0); },
                       [](ZProperties_7_0_0& p) { p.addValue("u", "k", ZUTF8ConstString_7_0_0("y"), 0); }});
       }},
      {"addValues adds each value in turn",
       [&](Step& s) {
         std::unique_ptr<ZStanzaFileProperties_7_0_0> f(newStanza());
         ZArrayList_7_0_0 values(2, 1);
         fill(values, {"p", "q"});
         s.cxx([&] { f->addValues("s", "m", values, 0); });
         EXPECT_LE(f->numValues("s", "m"), 2);
       }},
      {"deleteKey", [&](Step& s) { unchanged(s, {[](auto& f) { f.deleteKey("s", "k"); }}); }},
      {"comments",
       [&](Step& s) {
         unchanged(s, {[](auto& f) { f.addFileComment("another file comment\nin two lines"); },
                       [](auto& f) { f.addEntryComment("s", "n", "about n\nand more"); },
                       [](auto& f) { f.setEntryComment("s", "k", "new words about k\nin two lines"); },
                       [](auto& f) { f.setEntryComment("s", "n", "a first comment for n"); },
                       [](auto& f) { f.addStanzaComment("t", "about t"); },
                       [](ZProperties_7_0_0& p) { p.addStanzaComment("s", "about s"); }});
       }},
      {"addStanza and deleteStanza",
       [&](Step& s) {
         unchanged(s, {[](auto& f) { f.addStanza("fresh"); }, [](auto& f) { f.deleteStanza("t"); },
                       [](ZProperties_7_0_0& p) { p.addStanza("fresh2"); },
                       [](ZProperties_7_0_0& p) { p.deleteStanza("s"); }});
       }},
      {"parseText replaces the content or leaves it",
       [&](Step& s) { unchanged(s, {[](auto& f) { f.parseText(replacement, "other"); }}); }},
      {"reading: values, names, stanzas, comments, items, text, clone",
       [&](Step& s) {
         std::unique_ptr<ZStanzaFileProperties_7_0_0> f(newStanza());
         ZUTF8String_7_0_0 value, comment;
         ZArrayList_7_0_0 values(1, 1), names(1, 1), stanzas(1, 1), more(1, 1);
         ZPropertiesKVList_7_0_0 kv;
         ZLCString_7_0_0 item;
         ZStzFileItem_7_0_0 items[] = {{ZSTZ_ITEM_LCSTRING, "s", "n", 0, &item, nullptr}};
         std::string text;
         ZObject_7_0_0* clone = nullptr;
         int count = 0;
         long long sum = 0;
         Outcome o = s.cxx([&] {
           f->getValue("s", "k", value, 0, "a default long enough to be copied somewhere");
           f->getValues("s", "k", values, ZPropertyUTF8String);
           f->getValues("s", "k", more, count, ZPropertyLCString);
           f->keyNames("s", names);
           f->stanzaNames(stanzas);
           f->getStanza("s", kv);
           f->getEntryComment("s", "k", comment);
           f->getItems(items, 1);
           sum = total(*f);
           text = f->text();
           clone = made(f->clone());
         });
         if (o == Outcome::Done) {
           EXPECT_STREQ(value.getChars(), "v1");
           EXPECT_EQ(listText(values), "v1,v2,");
           EXPECT_EQ(count, 2);
           EXPECT_EQ(listText(names), "k,n,b,");
           EXPECT_EQ(listText(stanzas), "meta-info,s,t,");
           EXPECT_EQ(kv.getItemCount(), 4);
           EXPECT_STREQ(kv.getItemKey(3), "b");
           EXPECT_STREQ(kv.getItemValue(3), "yes");
           EXPECT_STREQ(comment.getChars(), "# about k");
           EXPECT_STREQ(item.getChars(), "42");
           std::unique_ptr<ZStanzaFileProperties_7_0_0> reference(newStanza());
           EXPECT_EQ(sum, total(*reference));
           EXPECT_EQ(text, kStanzaText);
           EXPECT_EQ(static_cast<ZStanzaFileProperties_7_0_0*>(clone)->text(), kStanzaText);
         }
         EXPECT_EQ(f->text(), kStanzaText);
         delete clone;
       }},
      {"key/value lists",
       [&](Step& s) {
         ZPropertiesKVList_7_0_0 kv;
         kv.add("a", 1, "1", 1);
         std::string longer(40, 'k');
         Outcome o = s.cxx([&] {
           kv.add(longer.c_str(), longer.size(), longer.c_str(), longer.size());
           kv.add("b", 1, "2", 1);
         });
         if (o == Outcome::Done) EXPECT_EQ(kv.getItemCount(), 3);
         else EXPECT_GE(kv.getItemCount(), 1);
         EXPECT_STREQ(kv.getItemKey(0), "a");
         kv.clear();
       }},
      {"value iterator walks and removes",
       [&](Step& s) {
         std::unique_ptr<ZStanzaFileProperties_7_0_0> f(newStanza());
         std::string seen;
         Outcome o = s.cxx([&] {
           ZStanzaValueIterator_7_0_0 it(*f, "s", "k", 0, 0);
           const char* v = nullptr;
           while (it.hasMore() && it.nextValue(v)) {
             seen += v;
             if (std::strcmp(v, "v1") == 0) it.removeValue();
           }
         });
         if (o == Outcome::Done) {
           EXPECT_EQ(seen, "v1v2");
           EXPECT_EQ(f->numValues("s", "k"), 1);
         }
       }},
      {"load, reload and readFile leave the object as it was on failure",
       [&](Step& s) {
         std::string file = freshFile("[a]\nb = c\n");
         StanzaProbe f;
         f.parseText(kStanzaText, "test");
         int step = 0;
         Outcome o = s.cxx([&] {
           f.load(file.c_str());
           ++step;
           f.reload(file.c_str());
           ++step;
           f.read(file.c_str());
           ++step;
         });
         if (o == Outcome::Done || step > 0) EXPECT_EQ(f.text(), "[a]\nb = c\n");
         else EXPECT_EQ(f.text(), kStanzaText);
         unlink(file.c_str());
       }},
      {"a constructor that loads",
       [&](Step& s) {
         std::string file = freshFile(kStanzaText);
         std::string text;
         if (s.cxx([&] {
               ZStanzaFileProperties_7_0_0 f(file.c_str(), 1);
               text = f.text();
             }) == Outcome::Done) {
           EXPECT_EQ(text, kStanzaText);
         }
         unlink(file.c_str());
       }},
      {"store leaves the file and the object as they were on failure",
       [&](Step& s) {
         std::string file = freshFile(kStanzaText);
         std::unique_ptr<ZStanzaFileProperties_7_0_0> f(new ZStanzaFileProperties_7_0_0(file.c_str(), 1));
         f->setValue("s", "k", "stored", 0);
         const std::string before = f->text();
         Outcome o = s.cxx([&] { f->store(file.c_str()); });
         std::string disk = ornutil_test::readFile(file);
         if (o == Outcome::Done) {
           EXPECT_EQ(disk, before);
         } else {
           EXPECT_TRUE(disk == kStanzaText || disk == before) << disk;
           EXPECT_EQ(f->text(), before);
         }
         f.reset();
         unlink(file.c_str());
         unlink((file + ".lock").c_str());
       }},
      {"lockFile and unlockFile",
       [&](Step& s) {
         std::string file = freshFile(kStanzaText);
         StanzaProbe f;
         bool locked = false;
         Outcome o = s.cxx([&] {
           f.lockFile(file.c_str());
           locked = true;
           f.lockFile(file.c_str());  // the same file again: one more level
           f.unlockFile();
         });
         // A lockFile that failed holds nothing; one that succeeded holds the
         // lock until its unlockFile, whatever failed after it.
         EXPECT_EQ(f.holds(file.c_str()), locked);
         if (locked) {
           if (o == Outcome::OutOfMemory) f.unlockFile();
           f.unlockFile();
         }
         ASSERT_FALSE(f.holds(file.c_str()));
         // Another object can take the lock now (it would wait forever otherwise).
         StanzaProbe other;
         other.lockFile(file.c_str());
         EXPECT_TRUE(other.holds(file.c_str()));
         other.unlockFile();
         unlink(file.c_str());
         unlink((file + ".lock").c_str());
       }},
      {"comment checking, attributes and the base's postLoad",
       [&](Step& s) {
         std::unique_ptr<ZStanzaFileProperties_7_0_0> f(newStanza());
         ZLCString_7_0_0 comment("first line\nsecond line that is a bit longer");
         Outcome o = s.cxx([&] {
           f->checkComment(comment);
           f->setAttributes(0, nullptr);
           f->ZProperties_7_0_0::postLoad("x");
         });
         if (o == Outcome::Done) { EXPECT_EQ(comment.getChars()[0], '#'); }
       }},
      {"list prints the text",
       [&](Step& s) {
         std::unique_ptr<ZStanzaFileProperties_7_0_0> f(newStanza("[a]\nb = c\n"));
         std::fflush(stdout);
         int saved = dup(1);
         int null = open((scratch() + "/list.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
         dup2(null, 1);
         s.cxx([&] { f->list(); });
         std::fflush(stdout);
         dup2(saved, 1);
         close(saved);
         close(null);
       }},
      {"Java properties load, parse and read",
       [&](Step& s) {
         static const std::string file = freshFile("corvan_common_dir=/opt/a/long/directory/name/for/the/root\n# c\nk: v\n");
         ZJavaProperties_7_0_0 p;
         p.parse("old=1\n");
         ZUTF8String_7_0_0 value;
         const std::string more = std::string("a=") + std::string(40, 'x') + "\nb=2\n";
         int loaded = 0;
         Outcome o = s.cxx([&] {
           loaded = p.load(file.c_str(), "corvan_common_dir");
           p.getValue("corvan_common_dir", value);
           p.exists("k");
           p.parse(more);
         });
         if (o == Outcome::Done) {
           EXPECT_EQ(loaded, 1);
           EXPECT_STREQ(value.getChars(), "/opt/a/long/directory/name/for/the/root");
           EXPECT_TRUE(p.exists("b"));
         }
       }},
  };
  return sweepCases(cases);
}

// --- the registry, the library's stanza file and the item loader
long registry() {
  const std::string old = "[meta-info]\nversion = 1024\n[s]\nk = v\n";
  return sweepCases({
      {"the foundation registry with a factory of its own",
       [&](Step& s) {
         std::string file = freshFile(kStanzaText);
         TestFactory factory;
         ZProperties_7_0_0* p = nullptr;
         Outcome o = s.cxx([&] { p = ZProperties_7_0_0::getPropertiesFor(file.c_str(), factory, 0); });
         if (o == Outcome::Done) {
           ASSERT_NE(p, nullptr);
           EXPECT_TRUE(p->exists("s", "k"));
         }
         // A failed load is not kept: the next look-up loads the file.
         if (o == Outcome::OutOfMemory) {
           s.nothingLeft();
           ZProperties_7_0_0* again = ZProperties_7_0_0::getPropertiesFor(file.c_str(), factory, 0);
           ASSERT_NE(again, nullptr);
           EXPECT_TRUE(again->exists("s", "k"));
         }
         // The registry keeps its objects for the life of the process.
         s.keep();
       }},
      {"getRegisteredPropertiesFor loads and migrates",
       [&](Step& s) {
         std::string file = freshFile(old);
         ZStanzaFileProperties_7_0_0* p = nullptr;
         Outcome o = s.cxx([&] { p = OrnStanzaFileProperties::getRegisteredPropertiesFor(file.c_str(), 0); });
         if (o == Outcome::Done) {
           ASSERT_NE(p, nullptr);
           EXPECT_TRUE(p->exists("s", "k"));
         } else {
           s.nothingLeft();
           p = OrnStanzaFileProperties::getRegisteredPropertiesFor(file.c_str(), 0);
           ASSERT_NE(p, nullptr);
           EXPECT_TRUE(p->exists("s", "k"));
         }
         // postLoad catches what its migration raises, exhausted memory
         // included, logs it and lets the load complete: the object keeps
         // what the migration got to (at least the old version), and the file
         // stays as it was until a later load migrates it.
         ZUTF8String_7_0_0 version;
         p->getValue("meta-info", "version", version, 0, nullptr);
         const std::string disk = ornutil_test::readFile(file);
         if (!s.failed()) { EXPECT_STREQ(version.getChars(), "1792"); }
         if (std::strcmp(version.getChars(), "1792") != 0) {
           EXPECT_STREQ(version.getChars(), "1024");
           EXPECT_EQ(disk, old);
         }
         EXPECT_TRUE(disk == old || disk.find("version = 1792") != std::string::npos) << disk;
         s.keep();
       }},
      {"config_item_load reports exhausted memory as its status",
       [&](Step& s) {
         std::string file = freshFile(kStanzaText);
         ZLCString_7_0_0 a, b;
         ZStzFileItem_7_0_0 items[] = {{ZSTZ_ITEM_LCSTRING, "s", "k", 0, &a, nullptr},
                                       {ZSTZ_ITEM_LCSTRING, "t", "x", 0, &b, nullptr}};
         unsigned int status = 99;
         s.c([&] { status = config_item_load(file.c_str(), items, 2, 0); });
         if (!s.failed()) {
           EXPECT_EQ(status, 0u);
         } else {
           EXPECT_TRUE(status == 0 || status == 0x1354a0c8u) << std::hex << status;
         }
         if (status != 0) s.nothingLeft();
         if (status == 0) {
           EXPECT_STREQ(a.getChars(), "v1");
           EXPECT_STREQ(b.getChars(), "1");
         }
         s.keep();
       }},
      {"the library's stanza file: values, migration, the factory",
       [&](Step& s) {
         std::string file = freshFile(old);
         OrnStanzaFileProperties f;
         f.parseText("[meta-info]\nversion = 1792\n[s]\nk = v1\nk = v2\nk = v3\n", "test");
         const std::string before = f.text();
         ZArrayList_7_0_0 values(1, 1);
         fill(values, {"v2", "v3"});
         int step = 0;
         int exists = -1;
         Outcome o = s.cxx([&] {
           exists = f.existsValue("s", "k", "v2");
           ++step;
           f.deleteValue("s", "k", "v1");
           ++step;
           f.deleteValues("s", "k", values);
           ++step;
         });
         if (o == Outcome::Done) {
           EXPECT_EQ(exists, 1);
           EXPECT_EQ(f.numValues("s", "k"), 0);
         } else if (step == 0) {
           EXPECT_EQ(f.text(), before);
         }
       }},
      {"migrating: postLoad and the ornrte stanza",
       [&](Step& s) {
         std::string file = freshFile(old);
         OrnStanzaFileProperties f;
         f.parseText(old, "test");
         int changed = -1;
         Outcome o = s.cxx([&] {
           f.postLoad(file.c_str());
           changed = f.migrateORNRTEStanza();
         });
         if (o == Outcome::Done) {
           // As above: a migration that ran out of memory is logged and
           // leaves what it got to in memory, the file unchanged.
           ZUTF8String_7_0_0 version;
           f.getValue("meta-info", "version", version, 0, nullptr);
           if (!s.failed()) { EXPECT_STREQ(version.getChars(), "1792"); }
           if (std::strcmp(version.getChars(), "1792") != 0) { EXPECT_EQ(ornutil_test::readFile(file), old); }
           if (changed != -1) { EXPECT_EQ(changed, 0); }
         }
         unlink((file + ".lock").c_str());
       }},
      {"the factory and the object",
       [&](Step& s) {
         ZProperties_7_0_0* made = nullptr;
         OrnStanzaFileProperties* direct = nullptr;
         bool initialised = false;
         Outcome o = s.cxx([&] {
           OrnStanzaFileProperties::init();
           initialised = true;
           made = OrnStanzaFileProperties::factory_->makePropertiesInstance();
           direct = new OrnStanzaFileProperties();
         });
         // init() makes a new factory each time and the old one stays (a
         // look-up may still be using it): that one block is all it keeps.
         s.keep();
         // The factory documents null for exhausted memory; so does the
         // foundation's operator new behind the new-expression.
         if (o == Outcome::Done && !s.failed()) {
           EXPECT_NE(made, nullptr);
           EXPECT_NE(direct, nullptr);
         }
         delete made;
         delete direct;
         EXPECT_EQ(s.leftOver(), initialised ? 1 : 0);
       }},
      {"copies into C records",
       [&](Step& s) {
         ZArrayList_7_0_0 list(4, 1);
         fill(list, {"one", "two"});
         ZPropertiesKVList_7_0_0 pairs;
         pairs.add("a", 1, "1", 1);
         char** out = nullptr;
         kvlist_s_t kv = {nullptr, 0, nullptr, nullptr};
         s.c([&] {
           makearraylist(list, out);
           makekvlist(pairs, kv);
         });
         if (!s.failed()) {
           ASSERT_NE(out, nullptr);
           EXPECT_STREQ(out[1], "two");
           EXPECT_EQ(kv.count, 1u);
         }
         if (out)
           for (char** p = out; *p; ++p) std::free(*p);
         std::free(out);
         for (unsigned int i = 0; i < kv.count; ++i) {
           std::free(kv.items[i].key);
           std::free(kv.items[i].value);
         }
         std::free(kv.items);
       }},
  });
}

// --- locks
long locks() {
  const std::string name100(100, 'n');
  const std::string dirText = scratch();  // made here: only the calls under test may allocate
  const char* dir = dirText.c_str();
  const std::string dir300 = "/" + std::string(299, 'd');
  return sweepCases({
      {"newLock of every kind, with a 100-byte name",
       [&](Step& s) {
         const MrProcessLockFactory::mrproclocktype kinds[] = {
             MrProcessLockFactory::mrproclock_stub, MrProcessLockFactory::mrproclock_thread,
             MrProcessLockFactory::mrproclock_file};
         ZAbstractReadWriteLock_7_0_0* made[3] = {};
         Outcome o = s.cxx([&] {
           for (int i = 0; i < 3; ++i) made[i] = MrProcessLockFactory::newLock(name100.c_str(), kinds[i], dir);
         });
         for (ZAbstractReadWriteLock_7_0_0* l : made) {
           if (o == Outcome::Done) { ASSERT_NE(l, nullptr); }
           if (l) {
             l->writeLock();
             l->unlock();
           }
           delete l;
         }
         if (o == Outcome::OutOfMemory) s.nothingLeft();
       }},
      {"newLock through the process-wide factory",
       [&](Step& s) {
         ZAbstractReadWriteLock_7_0_0* a = nullptr;
         ZAbstractReadWriteLock_7_0_0* b = nullptr;
         Outcome o = s.cxx([&] {
           a = MrProcessLockFactory::newLock(name100.c_str());
           b = MrProcessLockFactory::newLock(name100.c_str(), MrProcessLockFactory::mrproclock_thread);
         });
         if (o == Outcome::Done) {
           EXPECT_NE(a, nullptr);
           EXPECT_NE(b, nullptr);
         }
         delete a;
         delete b;
       }},
      {"setLockDirectory keeps the old directory when it cannot copy the new one",
       [&](Step& s) {
         MrProcessLockFactory f;
         f.setLockDirectory("/var/old/lock/directory/that/is/long/enough");
         f.setFactoryType(MrProcessLockFactory::mrproclock_file);
         if (s.cxx([&] { f.setLockDirectory(dir300.c_str()); }) == Outcome::Done)
           EXPECT_EQ(f.getLockDirectory().getChars(), dir300);
         else
           EXPECT_STREQ(f.getLockDirectory().getChars(), "/var/old/lock/directory/that/is/long/enough");
         EXPECT_EQ(f.getFactoryType(), MrProcessLockFactory::mrproclock_file);
       }},
      {"the foundation read/write locks",
       [&](Step& s) {
         bool ok = false;
         Outcome o = s.cxx([&] {
           ZReadWriteLock_7_0_0 t;
           ZStubProcessReadWriteFileLock_7_0_0 stub(name100.c_str());
           ZUnixProcessReadWriteFileLock_7_0_0 file(name100.c_str(), dir);
           ZAbstractReadWriteLock_7_0_0* all[] = {&t, &stub, &file};
           ok = true;
           for (ZAbstractReadWriteLock_7_0_0* l : all) {
             l->readLock();
             l->unlock();
             ok = l->tryReadLock() && ok;
             l->unlock();
             ok = l->tryWriteLock() && ok;
             l->unlock();
             l->writeLock();
             l->unlock();
           }
         });
         if (o == Outcome::Done) { EXPECT_TRUE(ok); }
       }},
      {"the foundation mutex",
       [&](Step& s) {
         s.cxx([&] {
           ZLock_7_0_0 l;
           l.lock();
           l.unlock();
           if (l.tryLock()) l.unlock();
         });
       }},
      {"the C reader/writer lock: requests allocate nothing",
       [&](Step& s) {
         lock_s_t* l = nullptr;
         lock__create(&l, nullptr, 0);
         s.c([&] {
           lock__read(l, nullptr, 0, 1);
           lock__unlock(l);
           lock__riw(l, nullptr, 0, 1);
           lock__write(l, nullptr, 0, 1);
           lock__unlock(l);
           lock__justwrite(l, nullptr, 0, 0);
           lock__unlock(l);
           lock__spy();
         });
         EXPECT_EQ(l->state, KELLOCK_STATE_FREE);
         lock__delete(l);
       }},
  });
}

// lock__create logs and aborts when its record cannot be allocated.
long lockCreation() {
  return sweepInChildren(
      [](Step& s) {
        lock_s_t* l = nullptr;
        s.c([&] { lock__create(&l, nullptr, 0); });
        ASSERT_NE(l, nullptr);
        lock__delete(l);
      },
      true);
}

// --- attribute lists
long attributeLists() {
  struct List {
    attrlist_s_t l{0, nullptr};
    List() {
      const unsigned char obj[] = {0x30, 0x00};
      const unsigned char bytes[] = {1, 2, 3};
      value_s_t v = stringValue("b1");
      attrlist_add_entry(&l, const_cast<char*>("beta"), &v);
      v = stringValue("a1");
      attrlist_add_entry(&l, const_cast<char*>("alpha"), &v);
      v = value_s_t{ATTR_VALUE_POBJ, nullptr, 2, const_cast<unsigned char*>(obj)};
      attrlist_add_entry(&l, const_cast<char*>("alpha"), &v);
      v = value_s_t{ATTR_VALUE_BUFFER, const_cast<char*>("s"), 3, const_cast<unsigned char*>(bytes)};
      attrlist_add_entry(&l, const_cast<char*>("gamma"), &v);
    }
    ~List() { freeList(l); }
  };
  auto unchanged = [](Step& s, std::function<void(attrlist_s_t&)> change) {
    List list;
    const std::string before = attrText(list.l);
    List expected;
    change(expected.l);
    if (s.cxx([&] { change(list.l); }) == Outcome::Done)
      EXPECT_EQ(attrText(list.l), attrText(expected.l));
    else
      EXPECT_EQ(attrText(list.l), before);
  };
  return sweepCases({
      {"attrlist_add_entry of a new name",
       [&](Step& s) {
         unchanged(s, [](attrlist_s_t& l) {
           value_s_t v = stringValue("d1");
           attrlist_add_entry(&l, const_cast<char*>("delta"), &v);
         });
       }},
      {"attrlist_add_entry to an existing name",
       [&](Step& s) {
         unchanged(s, [](attrlist_s_t& l) {
           value_s_t v = stringValue("a2");
           attrlist_add_entry(&l, const_cast<char*>("ALPHA"), &v);
         });
       }},
      {"attrlist_add_value of a buffer",
       [&](Step& s) {
         unchanged(s, [](attrlist_s_t& l) {
           const unsigned char bytes[] = {9, 9};
           value_s_t v{ATTR_VALUE_BUFFER, const_cast<char*>("t"), 2, const_cast<unsigned char*>(bytes)};
           attrlist_add_value(&l.entries[2], &v);
         });
       }},
      {"attrlist_add_value of an encoded object",
       [&](Step& s) {
         unchanged(s, [](attrlist_s_t& l) {
           const unsigned char obj[] = {0x30, 0x00};
           value_s_t v{ATTR_VALUE_POBJ, nullptr, 2, const_cast<unsigned char*>(obj)};
           attrlist_add_value(&l.entries[0], &v);
         });
       }},
      {"attrlist_del_value", [&](Step& s) { unchanged(s, [](attrlist_s_t& l) { attrlist_del_value(&l.entries[0], 0); }); }},
      {"attrlist_dup gives null or a whole copy",
       [&](Step& s) {
         List list;
         attrlist_s_t* copy = nullptr;
         s.c([&] { copy = attrlist_dup(&list.l); });
         if (!s.failed()) { ASSERT_NE(copy, nullptr); }
         if (copy) { EXPECT_EQ(attrText(*copy), attrText(list.l)); }
         attrlist_delete(&copy);
         EXPECT_EQ(copy, nullptr);
       }},
      {"loc_strdup, attrlist_copy_value_pobj, finding and freeing",
       [&](Step& s) {
         List list;
         char* dup = nullptr;
         value_s_t target{ATTR_VALUE_POBJ, nullptr, 0, nullptr};
         unsigned int found = 99;
         s.c([&] {
           dup = loc_strdup("a text to copy");
           attrlist_copy_value_pobj(&list.l.entries[0].values[1], &target);
           found = attrlist_find_entry(&list.l, "GAMMA");
         });
         if (!s.failed()) {
           EXPECT_STREQ(dup, "a text to copy");
           EXPECT_NE(target.data, nullptr);
         }
         EXPECT_EQ(found, 2u);
         std::free(dup);
         target.length = 2;
         if (target.data) attr_free_value_pobj(target);
       }},
  });
}

// --- codecs and multibyte text
long base64() {
  return sweepCases({
      {"mime64_new_encode and mime64_new_decode give null",
       [](Step& s) {
         const unsigned char bytes[] = {0, 1, 2, 250, 251, 252, 253};
         char* text = nullptr;
         char* out = reinterpret_cast<char*>(1);
         unsigned long outLength = 99;
         s.c([&] {
           text = mime64_new_encode(bytes, sizeof bytes);
           mime64_new_decode("AAEC+vv8/Q==", 12, &out, &outLength);
         });
         if (!s.failed()) {
           EXPECT_STREQ(text, "AAEC+vv8/Q==");
           ASSERT_NE(out, nullptr);
           EXPECT_EQ(outLength, sizeof bytes);
         } else {
           EXPECT_TRUE(text == nullptr || out == nullptr);
         }
         std::free(text);
         if (out != reinterpret_cast<char*>(1)) std::free(out);
       }},
  });
}

long scramble() {
  return sweepCases({
      {"util_encode and util_decode give null, never their input",
       [](Step& s) {
         char* scrambled = nullptr;
         char* plain = nullptr;
         s.c([&] {
           scrambled = util_encode("secret");
           if (scrambled) plain = util_decode(scrambled);
         });
         if (!s.failed()) { ASSERT_NE(plain, nullptr); }
         if (scrambled) { EXPECT_STRNE(scrambled, "secret"); }
         if (plain) { EXPECT_STREQ(plain, "secret"); }
         std::free(scrambled);
         std::free(plain);
       }},
  });
}

long quoting() {
  const std::string longText(300, 'x');
  return sweepCases({
      {"kel_mbs_patquote and kel_mbs_nopatquote give null",
       [](Step& s) {
         char* a = nullptr;
         char* b = nullptr;
         s.c([&] {
           a = kel_mbs_patquote("a*(b)\\");
           b = kel_mbs_nopatquote("a*(b)\\");
         });
         if (!s.failed()) {
           EXPECT_STREQ(a, "a*\\28b\\29\\5c");
           EXPECT_STREQ(b, "a\\2a\\28b\\29\\5c");
         } else {
           EXPECT_TRUE(a == nullptr || b == nullptr);
         }
         std::free(a);
         std::free(b);
       }},
      {"kel_mbs_sprintf gives null",
       [&](Step& s) {
         char* out = nullptr;
         s.c([&] { out = kel_mbs_sprintf("(cn=%Q)(sn=%P)%s%D", "a*b", "c*d", longText.c_str(), "x,y"); });
         if (!s.failed()) { ASSERT_NE(out, nullptr); }
         if (out) { EXPECT_EQ(std::string(out).substr(0, 9), "(cn=a\\2ab"); }
         std::free(out);
       }},
  });
}

long validation() {
  return sweepCases({
      {"the character checks allocate nothing",
       [](Step& s) {
         int sum = 0;
         s.c([&] {
           sum = kel_mbs_validchars_int("abc\xc3\xa9", rejlist, 1) + kel_mbs_validchars2("abc", rejlist) +
                 kel_mbs_validpchars2("abc", patrejlist) + kel_mbs_validpchars("abc") + kel_mbs_validpatchars("a*") +
                 kel_mbs_checkchars2("abc", "abc") + (kel_mb_strchr("abc", 'b') != nullptr) +
                 utf8_validchars("abc", rejlist) +
                 zmblen_7_0_0(zgetUTF8Handle_7_0_0(), "\xc3\xa9", 2) +
                 (zstrchr_7_0_0(zgetUTF8Handle_7_0_0(), "abc", 'c') != nullptr);
         });
         EXPECT_GE(sum, 9);
       }},
  });
}

// --- serviceability, catalogue and message services
void outputRecord(const OrnMessageService& service, const ZZException_7_0_0* record, ...) {
  va_list inserts;
  va_start(inserts, record);
  service.outputException(record, inserts);
  va_end(inserts);
}

long serviceability() {
  return sweepCases({
      {"records and traces never throw",
       [](Step& s) {
         s.c([&] {
           orn_svc_printf_withfile(kelcore_svc_handle, "util/x", 1, "%s%d", 0, 32, 0x1354a09au,
                                   "a file name long enough to need the heap somewhere", 3);
           orn_svc_printf_cs_withfile(ornc_svc_handle, orn_svc_utf8_cs, "util/x", 2, "%s", 0, 32, 0x15e3a003u, "f");
           orn_svc_printf_cs_withfile(ornc_svc_handle, orn_svc_lcp_cs, "util/x", 2, "", 0, 32, 0x15e3a0b2u);
           orn_svc_set_debug_level(orn_ras_svc_handle, 3, 9);
           orn_svc__debug_withfile(orn_ras_svc_handle, "util/x", 3, 3, 9, "%s Exception caught. \n", "ZException");
           orn_svc__debug_utf8_withfile(orn_ras_svc_handle, "util/x", 3, 3, 9, "%s", "utf8 trace");
           orn_svc_set_debug_level(orn_ras_svc_handle, 3, 0);
           orn_svc__debug_fillin2(bas_svc_handle, 0);
           orn_svc_debug_level(bas_svc_handle, 0);
         });
       }},
      {"catalogue look-ups give null",
       [](Step& s) {
         char* a = nullptr;
         char* b = nullptr;
         char* c = nullptr;
         unsigned long sa = 9, sb = 9, sc = 9;
         s.c([&] {
           a = orn_msg_get_msg(0x1354a0c8u, &sa);
           b = orn_msg_get_msg_utf8(0x1354a0c8u, &sb);
           c = orn_msg_get_default_msg(0x1354a0c8u, &sc);
           orn_msg_get_argtypes(0x1354a09au);
           ris_get_nlspath();
           ris_get_dir();
         });
         if (!s.failed()) {
           EXPECT_NE(a, nullptr);
           EXPECT_NE(b, nullptr);
           EXPECT_NE(c, nullptr);
         }
         std::free(a);
         std::free(b);
         std::free(c);
       }},
      {"the library's message service reports exceptions and messages",
       [](Step& s) {
         OrnMessageService service;
         ZException_7_0_0 e(12, "file not found");
         e.addInsert("/some/file").addInsert("reason");
         ZUTF8String_7_0_0 u("insert");
         ZLCString_7_0_0 l("insert");
         s.cxx([&] {
           service.outputException(e);
           outputRecord(service, &e, "/some/file", "reason");
           ZException_7_0_0 odd(99, "a code without a message");
           outputRecord(service, &odd);
           printDefault(&odd);
           service.outputMessage("util/x", 1, 0x1354a0c3, 32, &l, nullptr, nullptr, nullptr, nullptr, nullptr);
           service.outputMessageUTF8("util/x", 1, 0x1354a0c3, 32, &u, nullptr, nullptr, nullptr, nullptr, nullptr);
           ZMessageService_7_0_0* was = ZMessageService_7_0_0::getMessageService();
           ZMessageService_7_0_0::setMessageService(ZMessageService_7_0_0::defaultMessageService());
           ZMessageService_7_0_0::setMessageService(was);
         });
       }},
      {"the message caches as objects",
       [](Step& s) {
         I18NCache cache;
         static unsigned char text[] = "cached text";
         for (unsigned int k = 0; k < 1024; ++k) cache.insert(k * 2, text);  // full: the next insert grows
         unsigned char* placeholder = nullptr;
         Outcome o = s.cxx([&] {
           cache.insert(5, text);
           placeholder = cache.msgNotFound(0x7f000001u);
         });
         // A failed growth leaves the cache as it was; a failed placeholder
         // is null and not cached.
         bool inserted = cache.match(5) != nullptr;
         if (o == Outcome::Done && !s.failed()) { EXPECT_TRUE(inserted && placeholder); }
         EXPECT_EQ(cache.match(2), text);
         std::fflush(stdout);
         int saved = dup(1);
         int null = open((scratch() + "/dump.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
         dup2(null, 1);
         cache.dump_kel_i18n_cache();
         std::fflush(stdout);
         dup2(saved, 1);
         close(saved);
         close(null);
         // The dump merged the entries that waited: `count` is all of them.
         EXPECT_EQ(cache.count, 1024 + (inserted ? 1 : 0) + (placeholder ? 1 : 0));
       }},
      {"message texts by id after the caches exist (known and unknown ids)",
       [](Step& s) {
         static const std::vector<unsigned int> ids = knownIds();
         static std::size_t next = 0;
         static unsigned int unknown = 0x7e000000u;
         // An id not asked before, so that the call misses the cache.
         unsigned int known = next < ids.size() ? ids[next++] : ids[0];
         unsigned int other = ++unknown;
         unsigned char* a = nullptr;
         unsigned char* b = nullptr;
         unsigned char* c = nullptr;
         unsigned char* d = nullptr;
         s.c([&] {
           a = kel_i18n_msg(known);
           b = kel_i18n_msg(other);
           c = kel_i18n_msg_utf8(known);
           d = kel_i18n_msgC(known);
         });
         if (!s.failed()) {
           EXPECT_NE(a, nullptr);
           ASSERT_NE(b, nullptr);
           EXPECT_NE(std::string(reinterpret_cast<char*>(b)).find("Unknown message number"), std::string::npos);
           EXPECT_NE(c, nullptr);
           EXPECT_NE(d, nullptr);
         }
         s.keep();
       }},
  });
}

// --- name/value trees, their codec, typed objects (tests only here)
struct Tree {
  NameValueMap map;
  Tree() {
    map.addString("cn", "name");
    map.addString("mail", "a@b");
    map.addString("mail", "c@d");
    map.addString("n", 42ul);
    map.addSubtree("sub")->addString("inner", "value");
  }
};

long trees() {
  auto unchanged = [](Step& s, std::function<void(NameValueMap&)> change) {
    Tree t;
    const std::string before = treeText(t.map);
    Tree expected;
    change(expected.map);
    if (s.cxx([&] { change(t.map); }) == Outcome::Done)
      EXPECT_EQ(treeText(t.map), treeText(expected.map));
    else
      EXPECT_EQ(treeText(t.map), before);
  };
  return sweepCases({
      {"addString and addValue of a new name", [&](Step& s) { unchanged(s, [](NameValueMap& m) { m.addString("new", "v"); }); }},
      {"addString to an existing name", [&](Step& s) { unchanged(s, [](NameValueMap& m) { m.addString("mail", "e@f"); }); }},
      {"the other addString forms and addValue",
       [&](Step& s) {
         unchanged(s, [](NameValueMap& m) {
           m.addString("buf", "\x01\x02\x03", 3);
         });
         unchanged(s, [](NameValueMap& m) { m.addString("flag", 1); });
         unchanged(s, [](NameValueMap& m) {
           ZUTF8String_7_0_0 v("value");
           m.addValue("obj", &v);
         });
       }},
      {"setString and setValue", [&](Step& s) {
         unchanged(s, [](NameValueMap& m) { m.setString("mail", "x@y", 1u); });
         unchanged(s, [](NameValueMap& m) { m.setString("mail", 0u, "x@y"); });
         unchanged(s, [](NameValueMap& m) { m.setString("mail", "\x01\x02", 2u, 0u); });
         unchanged(s, [](NameValueMap& m) { m.setString("n", 7, 0u); });
         unchanged(s, [](NameValueMap& m) { m.setString("n", 7ul, 0u); });
         unchanged(s, [](NameValueMap& m) {
           ZUTF8String_7_0_0 v("value");
           m.setValue("cn", 0, &v);
         });
       }},
      // Each call on its own: a subtree made by one call and left empty by a
      // failed add of the next is the state the first call promised.
      {"addSubtree of a new name, and adding into an existing subtree",
       [&](Step& s) {
         unchanged(s, [](NameValueMap& m) { m.addSubtree("other"); });
         unchanged(s, [](NameValueMap& m) { m.addSubtree("sub")->addString("a", "b"); });
       }},
      {"removing allocates nothing",
       [&](Step& s) {
         unchanged(s, [](NameValueMap& m) {
           m.removeValue("mail", 0);
           m.removeString("n", 0);
         });
       }},
      {"copies, assignment and clone",
       [&](Step& s) {
         Tree t;
         NameValueMap target;
         target.addString("old", "1");
         NameValueMap* copy = nullptr;
         ZObject_7_0_0* clone = nullptr;
         int step = 0;
         Outcome o = s.cxx([&] {
           copy = made(new NameValueMap(t.map));
           ++step;
           target = t.map;
           ++step;
           clone = made(t.map.clone());
         });
         if (o == Outcome::Done) {
           EXPECT_EQ(treeText(*copy), treeText(t.map));
           EXPECT_EQ(treeText(target), treeText(t.map));
           EXPECT_EQ(treeText(*static_cast<NameValueMap*>(clone)), treeText(t.map));
         } else if (step <= 1) {
           EXPECT_NE(treeText(target).find("old"), std::string::npos);
         }
         delete copy;
         delete clone;
       }},
      {"reading: values, names, counts, the trace",
       [&](Step& s) {
         Tree t;
         ZArrayList_7_0_0* values = nullptr;
         ZArrayList_7_0_0 names(1, 0);
         ZUTF8String_7_0_0 trace;
         Outcome o = s.cxx([&] {
           values = t.map.getValues("mail");
           t.map.getNames(names);
           t.map.buildTraceBuf(trace, 0);
           t.map.getValue("cn", 0);
           t.map.getString("cn", 0);
           t.map.getValueCount("mail");
           t.map.getValueCount();
           t.map.getSubtree("sub");
           t.map.getSubtreeCount("sub");
           t.map.exist("cn");
         });
         if (o == Outcome::Done) {
           ASSERT_NE(values, nullptr);
           EXPECT_EQ(values->size(), 2);
           EXPECT_EQ(names.size(), 4);
         }
         // getValues hands out the map's own list, which stays the map's.
       }},
      {"attribute lists to and from trees",
       [&](Step& s) {
         Tree t;
         attrlist_s_t list{0, nullptr};
         NameValueMap* back = nullptr;
         Outcome o = s.cxx([&] {
           t.map.toAttrlist(list);
           back = new NameValueMap(list);  // null when memory runs out, as every foundation object's new
           if (back) back->addNameValue(list.entries[0]);
         });
         if (o == Outcome::Done) {
           EXPECT_GE(list.num_entries, 4u);
         }
         freeList(list);
         delete back;
       }},
      {"the wire form: encode, decode and the node trees",
       [&](Step& s) {
         Tree t;
         orn_asn_buffer_t buffer{0, nullptr};
         unsigned long status = 0;
         t.map.encode(buffer, status);
         ASSERT_EQ(status, 0u);
         // decode adds to what the map holds.
         NameValueMap reference;
         reference.addString("old", "1");
         reference.decode(buffer, status);
         ASSERT_EQ(status, 0u);
         const std::string merged = treeText(reference);
         NameValueMap decoded;
         decoded.addString("old", "1");
         orn_asn_buffer_t again{0, nullptr};
         unsigned long s1 = 9, s2 = 9;
         kelobj_t object{};
         unsigned long s3 = 9;
         Outcome o = s.cxx([&] {
           t.map.encode(again, s1);
           decoded.decode(buffer, s2);
           t.map.encode(object, s3);
         });
         if (o == Outcome::Done && !s.failed()) {
           EXPECT_EQ(s1, 0u);
           EXPECT_EQ(s2, 0u);
           EXPECT_EQ(s3, 0u);
           EXPECT_EQ(treeText(decoded), merged);
         }
         orn_asn_buffer_free(&buffer);
         orn_asn_buffer_free(&again);
         std::free(object.data);
       }},
      {"the codec's own entry points give a status",
       [&](Step& s) {
         Tree t;
         orn_asn_buffer_t buffer{0, nullptr};
         unsigned long status = 0;
         t.map.encode(buffer, status);
         orn_asn_buffer_t copy{0, nullptr};
         unsigned long copyStatus = 9;
         namevalueList_s_t list{0, nullptr};
         int decoded = -1;
         orn_asn_buffer_t encoded{0, nullptr};
         int encodedStatus = -1;
         s.c([&] {
           orn_asn_buffer_copy(&buffer, &copy, &copyStatus);
           decoded = ornAsnDecodeObj(buffer, list);
           if (decoded == 0) encodedStatus = ornAsnEncodeObj(encoded, list);
         });
         if (!s.failed()) {
           EXPECT_EQ(copyStatus, 0u);
           EXPECT_EQ(decoded, 0);
           EXPECT_EQ(encodedStatus, 0);
         } else {
           EXPECT_TRUE(copyStatus != 0 || decoded == ORN_ASN_E_NOMEM || encodedStatus == ORN_ASN_E_NOMEM);
         }
         if (decoded == 0) ornAsnFreeObj(list);
         orn_asn_buffer_free(&copy);
         orn_asn_buffer_free(&encoded);
         orn_asn_buffer_free(&buffer);
       }},
      {"encodeMap and freeMap",
       [&](Step& s) {
         Tree t;
         namevalue_s_t node{};
         Outcome o = s.cxx([&] { t.map.encodeMap(&node, "sub"); });
         if (o == Outcome::Done) t.map.freeMap(&node);
       }},
      {"entries",
       [&](Step& s) {
         NameValueEntry e;
         ZUTF8String_7_0_0 v("value");
         e.values().add(&v);
         NameValueEntry* copy = nullptr;
         ZObject_7_0_0* clone = nullptr;
         s.cxx([&] {
           copy = made(new NameValueEntry(e));
           clone = made(e.clone());
         });
         delete copy;
         delete clone;
       }},
  });
}

long objects() {
  auto unchanged = [](Step& s, std::function<void(OrnObject&)> change) {
    OrnObject o("object");
    o.addStringValue("cn", "name", nullptr);
    o.addIntegerValue("n", 42, nullptr);
    const std::string before = objectText(o);
    if (s.cxx([&] { change(o); }) != Outcome::Done) { EXPECT_EQ(objectText(o), before); }
  };
  return sweepCases({
      {"setters and adders of single values",
       [&](Step& s) {
         unchanged(s, [](OrnObject& o) { o.addStringValue("mail", "a@b", nullptr); });
         unchanged(s, [](OrnObject& o) { o.addIntegerValue("m", 7, "scope"); });
         unchanged(s, [](OrnObject& o) { o.addBooleanValue("b", 1, nullptr); });
         unchanged(s, [](OrnObject& o) { o.addBufferValue("buf", "\x01\x02", 2, nullptr); });
         unchanged(s, [](OrnObject& o) { o.setStringValue("cn", "other", 0, nullptr); });
         unchanged(s, [](OrnObject& o) { o.setIntegerValue("n", 8, 0, nullptr); });
         unchanged(s, [](OrnObject& o) { o.setBooleanValue("b", 0, 0, nullptr); });
         unchanged(s, [](OrnObject& o) { o.setBufferValue("buf", "\x03", 1, 0, nullptr); });
       }},
      {"nested objects and arrays",
       [&](Step& s) {
         OrnObject inner("inner");
         inner.addStringValue("x", "y", nullptr);
         ZArrayList_7_0_0 objects(2, 1), strings(2, 1);
         objects.add(&inner);
         objects.add(&inner);
         fill(strings, {"s1", "s2"});
         unchanged(s, [&](OrnObject& o) { o.addObjectValue("obj", inner, nullptr); });
         unchanged(s, [&](OrnObject& o) { o.setObjectValue("obj", inner, 0, nullptr); });
         unchanged(s, [&](OrnObject& o) { o.addObjectArrayValue("objs", objects, nullptr); });
         unchanged(s, [&](OrnObject& o) { o.setObjectArrayValue("objs", objects, nullptr); });
         unchanged(s, [&](OrnObject& o) { o.addStringArrayValue("strs", strings, nullptr); });
         unchanged(s, [&](OrnObject& o) { o.setStringArrayValue("strs", strings, nullptr); });
       }},
      {"attribute lists in objects",
       [&](Step& s) {
         attrlist_s_t list{0, nullptr};
         value_s_t v = stringValue("v");
         attrlist_add_entry(&list, const_cast<char*>("a"), &v);
         unchanged(s, [&](OrnObject& o) { o.addAttrListValue("al", list, nullptr); });
         unchanged(s, [&](OrnObject& o) { o.setAttrListValue("al", list, 0, nullptr); });
         unchanged(s, [&](OrnObject& o) { o.addAttrListValue_internal("p", list, nullptr); });
         unchanged(s, [&](OrnObject& o) { o.v417_addAttrListValue_deprecated("d", list, nullptr); });
         freeList(list);
       }},
      {"reading values back",
       [&](Step& s) {
         OrnObject o("object");
         OrnObject inner("inner");
         inner.addStringValue("x", "y", nullptr);
         o.addStringValue("cn", "name", nullptr);
         o.addIntegerValue("n", 42, nullptr);
         o.addBooleanValue("b", 1, nullptr);
         o.addBufferValue("buf", "\x01\x02", 2, nullptr);
         o.addObjectValue("obj", inner, nullptr);
         ZArrayList_7_0_0 strings(2, 1);
         fill(strings, {"s1", "s2"});
         o.addStringArrayValue("strs", strings, nullptr);
         attrlist_s_t list{0, nullptr};
         value_s_t v = stringValue("v");
         attrlist_add_entry(&list, const_cast<char*>("a"), &v);
         o.addAttrListValue("al", list, nullptr);
         o.addAttrListValue_internal("flat", list, nullptr);
         freeList(list);
         const std::string object = objectText(o);

         char* data = nullptr;
         unsigned long length = 0;
         Outcome r = s.cxx([&] {
           o.getStringValue("cn", 0, nullptr);
           o.integerValue("n", 0, nullptr);
           o.booleanValue("b", 0, nullptr);
           o.bufferValue("buf", data, length, 0, nullptr);
           o.exist("cn", nullptr);
           o.length("cn", nullptr);
           o.length();
         });
         if (r == Outcome::Done) {
           EXPECT_EQ(length, 2u);
         } else {
           EXPECT_TRUE(data == nullptr && length == 0);
         }
         std::free(data);

         // What a reader fills is filled whole, or left as it was.
         OrnObject out("out"), all, nv;
         out.addStringValue("kept", "yes", nullptr);
         const std::string outBefore = objectText(out);
         r = s.cxx([&] { o.objectValue("obj", out, 0, nullptr); });
         if (r != Outcome::Done) { EXPECT_EQ(objectText(out), outBefore); }
         s.cxx([&] {
           o.getAllScope(all, nullptr);
           o.getNameValues(nv, nullptr);
         });

         ZArrayList_7_0_0 owning(2, 1), viewing(2, 0);
         fill(owning, {"before"});
         r = s.cxx([&] { o.stringArrayValue("strs", owning, nullptr); });
         EXPECT_EQ(listText(owning), r == Outcome::Done ? "before,s1,s2," : "before,");
         r = s.cxx([&] { o.stringArrayValue("strs", viewing, nullptr); });
         EXPECT_EQ(viewing.size(), r == Outcome::Done ? 2 : 0);

         const struct {
           const char* what;
           std::function<void(attrlist_s_t&)> read;
         } readers[] = {
             {"attrListValue", [&](attrlist_s_t& l) { o.attrListValue("al", l, 0, nullptr); }},
             {"attrListValue_internal", [&](attrlist_s_t& l) { o.attrListValue_internal("flat", l, nullptr); }},
             {"v417_attrListValue_deprecated", [&](attrlist_s_t& l) { o.v417_attrListValue_deprecated("flat", l, nullptr); }},
         };
         for (const auto& reader : readers) {
           SCOPED_TRACE(reader.what);
           for (bool empty : {true, false}) {
             attrlist_s_t l{0, nullptr};
             value_s_t pre = stringValue("pre");
             if (!empty) attrlist_add_entry(&l, const_cast<char*>("z"), &pre);
             const std::string before = attrText(l);
             r = s.cxx([&] { reader.read(l); });
             if (r == Outcome::Done) {
               EXPECT_NE(attrText(l), before);
             } else {
               EXPECT_EQ(attrText(l), before);
             }
             freeList(l);
           }
         }
         EXPECT_EQ(objectText(o), object) << "a reader changed the object";
       }},
      {"deleting values and names",
       [&](Step& s) {
         unchanged(s, [](OrnObject& o) {
           o.deleteValue("cn", 0, nullptr);
           o.deleteName("n", 0, nullptr);
           o.deleteName("cn", nullptr);
         });
       }},
      {"copies, clone, name, description, hash and compare",
       [&](Step& s) {
         OrnObject o("object");
         o.addStringValue("cn", "name", nullptr);
         OrnObject target("t");
         OrnObject* copy = nullptr;
         ZObject_7_0_0* clone = nullptr;
         ZUTF8String_7_0_0 name("a longer name than the inline buffer holds"), text("a description of some length");
         s.cxx([&] {
           copy = made(new OrnObject(o));
           target = o;
           clone = made(o.clone());
           OrnObject named("a name");
           named.setName(name);
           named.setDescription(text);
           named.getName();
           named.getDescription();
           o.hash();
           o.compare(target);
         });
         delete copy;
         delete clone;
       }},
      {"encoding and decoding objects",
       [&](Step& s) {
         OrnObject o("object");
         o.addStringValue("cn", "name", nullptr);
         orn_asn_buffer_t buffer{0, nullptr};
         unsigned long status = 0;
         o.encode(buffer, status);
         ASSERT_EQ(status, 0u);
         OrnObject d1, d2, d3, target;
         kelobj_t obj{};
         OrnObject::init_kelobj(obj, 1);
         unsigned long s1 = 9, s2 = 9, s3 = 9, s4 = 9;
         orn_asn_buffer_t again{0, nullptr};
         Outcome r = s.cxx([&] {
           o.encode(again, s1);
           d1.decode(buffer, s2);
           d2.decode(static_cast<unsigned int>(buffer.length), buffer.data, s3);
           o.encode(obj, s4);
           o.encode("packed", nullptr, target);
           target.decode("packed", nullptr, d3);
         });
         if (r == Outcome::Done && !s.failed()) {
           EXPECT_EQ(s1 + s2 + s3 + s4, 0u);
         }
         orn_asn_buffer_free(&buffer);
         orn_asn_buffer_free(&again);
         std::free(obj.data);
         obj.data = nullptr;
       }},
      {"tracing an object",
       [&](Step& s) {
         OrnObject o("object");
         o.addStringValue("password", "secret", nullptr);
         o.addStringValue("cn", "name", nullptr);
         orn_svc_set_debug_level(kelcore_svc_handle, 2, 9);
         s.cxx([&] { o.traceDump(kelcore_svc_handle, "KelCore/test", 1, 2, 9, "prefix"); });
         orn_svc_set_debug_level(kelcore_svc_handle, 2, 0);
       }},
  });
}

// --- once-per-process state, in a child process in a private mount namespace
const char kOrnConf[] = "/opt/BrenmoorWarden/etc/orn.conf";

// The child's results: "POINTS <module> <count>" lines on its output.
struct ChildResult {
  bool ran = false;
  int status = -1;
  std::string output;
  std::map<std::string, long> points;
};

ChildResult& onceChild() {
  static ChildResult result;
  if (result.ran) return result;
  result.ran = true;
  std::string why;
  if (!ornutil_test::sandboxSupported(&why)) {
    result.status = -100;
    result.output = why;
    return result;
  }
  result.status = ornutil_test::runSandboxedTest("AllocSweepChild.OncePerProcess", {}, &result.output);
  std::istringstream in(result.output);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string tag, module;
    long n = 0;
    if (words >> tag >> module >> n && tag == "POINTS") result.points[module] += n;
  }
  return result;
}

long onceRow(const char* module) {
  ChildResult& r = onceChild();
  if (r.status == -100) return -2;  // no sandbox here: the row skips
  EXPECT_EQ(r.status, 0) << r.output;
  return r.points[module];
}

long startupAndPaths() { return onceRow("getpath"); }
long messageCaches() { return onceRow("KelMsg"); }
long compliance() { return onceRow("fipsMode"); }
long lockFactory() { return onceRow("MrProcessLock"); }
long namesNotToTrace() { return onceRow("NameValueMap"); }

void report(const char* module, long points) { std::printf("POINTS %s %ld\n", module, points < 0 ? 0 : points); }

// The rows. `covers` patterns are matched against the whole demangled name.
const Row kRows[] = {
    {"Strings", "foundation strings: constructors, append, assign, reserve, clone, compare", "foundation",
     "(ZAbstractString|ZAbstractMutableString|ZLCString|ZUTF8String|ZLCConstString|ZUTF8ConstString)_7_0_0::.*", strings},
    {"Containers", "array list, key map, hash set and the plain object: add, put, copy, assign, clone, list",
     "foundation", "(ZArrayList|ZHashKeyMap|ZHashMap|ZObject)_7_0_0::.*", containers},
    {"Exceptions", "exception records: construction, inserts, copies, throwing, reporting", "foundation",
     "(ZZException|ZException|ZOutOfMemoryException|ZInvalidParameterException|ZPropertiesInvalidDataException)_7_0_0::.*"
     "|ornz::(fileException|throwOutOfMemory)\\(.*",
     exceptions},
    {"StanzaFiles", "properties and stanza files: every change keeps the file on failure; reads, load, store, lock",
     "properties",
     "(ZProperties|ZStanzaFileProperties|ZStanzaValueIterator|ZPropertiesKVList|ZJavaProperties)_7_0_0::.*",
     stanzaFiles},
    {"Registry", "the registry, the library's stanza file and its factory, the item loader and its C copies",
     "OrnStanzaFileProperties",
     "(ZAbstractPropertiesFactory|ZPropertiesFactoryInterface)_7_0_0::.*|(non-virtual thunk to )?OrnStanzaFileProperties::.*"
     "|config_item_load|makearraylist\\(.*|makekvlist\\(.*",
     registry},
    {"Locks", "the lock factory's locks and directory, the foundation locks, the C lock's requests", "MrProcessLock",
     "MrProcessLockFactory::(newLock|setLockDirectory|getLockDirectory|setFactoryType|getFactoryType|MrProcessLockFactory|~MrProcessLockFactory).*"
     "|(ZAbstractReadWriteLock|ZReadWriteLock|ZStubProcessReadWriteFileLock|ZUnixProcessReadWriteFileLock|ZLock)_7_0_0::.*"
     "|lock__(read|riw|write|justwrite|unlock|spy|delete)",
     locks},
    {"LockCreation", "lock__create logs and aborts, one child per failing allocation", "kellock", "lock__create",
     lockCreation},
    {"AttributeLists", "attribute lists: add entry, add value, delete value keep the list; dup gives null", "attrlist",
     "attrlist_.*|attr_free.*|loc_strdup", attributeLists},
    {"Base64", "Base64 encoder and decoder give null", "mime64_new", "mime64_new_(encode|decode)", base64},
    {"Scramble", "the scrambled-string codec gives null, never its input", "encode", "util_(encode|decode)", scramble},
    {"Quoting", "pattern quoting and the quoting formatter give null", "patquote",
     "kel_mbs_(patquote|nopatquote|sprintf)", quoting},
    {"Validation", "character validation and the multibyte helpers allocate nothing", "kelwchar",
     "kel_mbs_valid.*|kel_mbs_checkchars2|kel_mb_strchr|utf8_validchars\\(.*|zmblen_7_0_0|zstrchr_7_0_0|zgetUTF8Handle_7_0_0",
     validation},
    {"Services", "records, traces, catalogue look-ups, the message services and the message caches", "OrnMessageService",
     "orn_svc_.*|orn_msg_.*|ris_get_.*|corsec_initialize|OrnMessageService::.*|printDefault\\(.*"
     "|ZMessageService_7_0_0::.*|I18NCache::.*|kel_i18n_msg.*",
     serviceability},
    {"Trees", "name/value trees: adds and sets keep the tree; copies, reads, attribute lists, the wire form", "NameValueMap",
     "NameValueMap::(?!initializeNamesNotToTrace).*|NameValueEntry::.*|orn_asn_buffer_.*|ornAsn.*", trees},
    {"Objects", "typed objects: setters, adders, nested values, reads, copies, encoding, trace", "OrnObject",
     "OrnObject::.*", objects},
    {"StartupAndPaths", "start-up (logs and aborts) and the path map, in a sandboxed child", "getpath",
     "ornutil_init|orn_get_path|orn_set_path|orn_get_path_instance|orn_change_directory"
     "|orn_corvan_common_directory_init|PathMap::.*",
     startupAndPaths},
    {"MessageCaches", "kelmsg_init and the creation of the message caches, one child per failing allocation", "KelMsg",
     "kelmsg_init|i18n_msg__init_caches", messageCaches},
    {"Compliance", "getCompliance and getSigAlgKeySize, one child per failing allocation", "fipsMode",
     "getCompliance|getSigAlgKeySize", compliance},
    {"LockFactory", "making the process-wide lock factory, one child per failing allocation", "MrProcessLock",
     "MrProcessLockFactory::(getLockFactory|new_factory)\\(\\)", lockFactory},
    {"NamesNotToTrace", "making the set of names not to trace, one child per failing allocation", "NameValueMap",
     "NameValueMap::initializeNamesNotToTrace\\(\\)", namesNotToTrace},
};

// Exported data and type information: nothing to call, nothing allocated.
const char kDataAndTypes[] =
    "typeinfo for .*|typeinfo name for .*|vtable for .*"
    "|.*_svc_handle|orn_svc_(lcp|utf8)_cs|i18nfailure|lcpcache|utf8cache|ornPaths_|symb|rejlist|patrejlist"
    "|adsearchlist|nopatadsearchlist|principallist|speciallist|hexdigit|patquotelist|nopatquotelist"
    "|new_alphabet|new_reverse_alphabet|new_bitmasks|MrProcessLockFactory::(policyserverPrefix|theLockFactory_|mrplf_once_)"
    "|OrnStanzaFileProperties::factory_|NameValueMap::namesNotToTrace";

class AllocSweep : public ::testing::TestWithParam<Row> {
 protected:
  static void SetUpTestSuite() {
    // Records go to a scratch file; one record first, so that opening the
    // destination is not counted in the first row.
    setenv("ORN_SVC_LOG", (scratch() + "/svc.log").c_str(), 1);
    unsigned long status = 0;
    orn_svc_init(0, &status);
    orn_svc_printf_withfile(bas_svc_handle, "test", 1, "", 0, 16, 0x10652065u);
  }
};

TEST_P(AllocSweep, EveryAllocationFailingInTurn) {
  const Row& row = GetParam();
  RecordProperty("description", row.description);
  if (ornutil_test::inChild()) GTEST_SKIP();
  if (!ORNUTIL_ALLOC_HOOK) GTEST_SKIP() << "the allocation hook is not built under ThreadSanitizer";
  if (row.skip && !std::getenv("ORNUTIL_SWEEP_OPEN")) GTEST_SKIP() << row.skip;
  long points = row.run();
  if (points == -2) GTEST_SKIP() << "needs root and mount namespaces";
  if (points > 0) pointsByModule()[row.module] += points;
  std::printf("[ sweep    ] %-18s %5ld allocation points  (%s)\n", row.name, points, row.description);
}

INSTANTIATE_TEST_SUITE_P(Rows, AllocSweep, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

std::string demangle(const std::string& name) {
  int status = 0;
  char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (status != 0 || !text) return name;
  std::string out = text;
  std::free(text);
  return out;
}

// Every exported symbol belongs to a row or to the data and type table.
TEST(AllocSweepCoverage, EveryExportedSymbolHasARow) {
  if (ornutil_test::inChild()) GTEST_SKIP();
  std::vector<std::regex> patterns;
  for (const Row& row : kRows) patterns.emplace_back(row.covers);
  patterns.emplace_back(kDataAndTypes);
  std::string dir = std::string(ORNUTIL_SOURCE_DIR) + "/symbols";
  DIR* d = opendir(dir.c_str());
  ASSERT_NE(d, nullptr);
  int symbols = 0;
  while (dirent* e = readdir(d)) {
    std::string file = e->d_name;
    if (file.size() < 5 || file.substr(file.size() - 4) != ".txt") continue;
    std::ifstream in(dir + "/" + file);
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      ++symbols;
      std::string name = demangle(line);
      // A thunk is the same function reached through a second base.
      const std::string thunk = "non-virtual thunk to ";
      if (name.rfind(thunk, 0) == 0) name = name.substr(thunk.size());
      bool covered = false;
      for (const auto& p : patterns) covered = covered || std::regex_match(name, p);
      EXPECT_TRUE(covered) << file << ": " << name << " has no row";
    }
  }
  closedir(d);
  EXPECT_GT(symbols, 700);
}

// The points per module, once every row has run (parameterised suites run
// after the plain ones, so this is printed by the environment's tear-down).
class PointsReport : public ::testing::Environment {
 public:
  void TearDown() override {
    for (const auto& [module, points] : pointsByModule()) std::printf("[ points   ] %-24s %6ld\n", module.c_str(), points);
  }
};
::testing::Environment* const kPointsReport = ::testing::AddGlobalTestEnvironment(new PointsReport);

}  // namespace

// ---------------------------------------------------------------- the child

ORNUTIL_CHILD_TEST(AllocSweepChild, OncePerProcess) {
  std::string why;
  ASSERT_TRUE(ornutil_test::enterSandbox(
      {{"/etc/cqy.conf", "[rte]\ndata-path = /opt/a/data/root/long/enough/for/the/heap\n"},
       {"/etc/kvt/corvan/common/cfg/log.properties", "corvan_common_dir=/opt/family/common/root/long/enough\n"},
       {kOrnConf,
        "[meta-info]\nversion = 1024\n[ornrte]\ncorvan_common_dir = /opt/product/common/root/long/enough\n"
        "[ssl]\nssl-compliance = fips\n"},
       // The compliance mode is read where the path map puts the file: under the data root.
       {"/opt/a/data/root/long/enough/for/the/heap/etc/orn.conf",
        "[meta-info]\nversion = 1792\n[ssl]\nssl-compliance = fips\n"}},
      &why))
      << why;
  setenv("ORN_SVC_LOG", (scratch() + "/svc.log").c_str(), 1);
  unsetenv("NLSPATH");

  // Start-up: done, or the out-of-memory message logged and abort.
  long startup = sweepInChildren(
      [](Step& s) {
        s.c([] { ornutil_init(); });
        EXPECT_NE(orn_get_path("/opt/BrenmoorWarden/etc/kelmgrd.conf"), nullptr);
      },
      true);
  // The same start-up reached through a path look-up.
  long viaLookUp = sweepInChildren(
      [](Step& s) {
        const char* path = nullptr;
        s.c([&] { path = orn_get_path("/opt/BrenmoorWarden/etc/kelmgrd.conf"); });
        EXPECT_STREQ(path, "/opt/a/data/root/long/enough/for/the/heap/etc/kelmgrd.conf");
      },
      true);
  // kelmsg_init: 1, or the abort of start-up.
  long kelmsg = sweepInChildren(
      [](Step& s) {
        int ok = -1;
        s.c([&] { ok = kelmsg_init("allocsweep"); });
        EXPECT_TRUE(ok == 1 || (ok == 0 && s.failed())) << ok;
      },
      true);
  // From here on start-up has run (its own sweeps are above): the state
  // swept below is made after it, as in a program.
  ASSERT_EQ(kelmsg_init("allocsweep"), 1);
  // The first request creates the caches: a text, or null.
  long caches = sweepInChildren(
      [](Step& s) {
        unsigned char* text = nullptr;
        s.c([&] { text = kel_i18n_msg(0x1354a0c8u); });
        if (!s.failed()) { EXPECT_NE(text, nullptr); }
        EXPECT_NE(kel_i18n_msg(0x1354a0c8u), nullptr) << "a later request works";
        EXPECT_NE(kel_i18n_msg(0x7f000000u), nullptr);
      },
      false);
  // The compliance mode: the configured mode, or the stop of the process
  // (logged, then abort); never a fallback for want of memory.
  long mode = sweepInChildren(
      [](Step& s) {
        const char* got = nullptr;
        unsigned int alg = 0, size = 0;
        s.c([&] { got = getSigAlgKeySize(&alg, &size); });
        ASSERT_NE(got, nullptr);
        EXPECT_STREQ(got, "fips") << "allocation " << s.n();
        EXPECT_EQ(getCompliance(), got) << "one text for the life of the process";
      },
      true);
  long factory = sweepInChildren(
      [](Step& s) {
        MrProcessLockFactory* f = nullptr;
        if (s.cxx([&] { f = MrProcessLockFactory::getLockFactory(); }) == Outcome::Done) { ASSERT_NE(f, nullptr); }
        EXPECT_NE(MrProcessLockFactory::getLockFactory(), nullptr) << "a later call tries again";
      },
      false);
  long names = sweepInChildren(
      [](Step& s) {
        s.cxx([] { NameValueMap::initializeNamesNotToTrace(); });
        NameValueMap map;
        map.addString("password", "secret");
        std::string trace = treeText(map);
        EXPECT_EQ(trace.find("secret"), std::string::npos) << trace;
      },
      false);

  // Replacing a path retires the old value for concurrent readers. The
  // record that keeps it is reserved before anything changes
  // (ZHashKeyMap_7_0_0::reserveRetired, foundation/zhashkeymap.cpp), so a
  // failing allocation leaves the old value in place and nothing leaks; the
  // plain build cannot tell a leak from the values the map keeps for the
  // process (these cases keep()), the AddressSanitizer build's leak checker can.
  // After start-up, in this process: the path map's entry points.
  ornutil_init();
  long paths = sweepCases({
      {"orn_get_path of a new default key raises out of memory and keeps the map",
       [](Step& s) {
         static int serial = 0;
         std::string key = "/opt/BrenmoorWarden/some/new/key/long/enough/" + std::to_string(++serial);
         const char* got = nullptr;
         Outcome o = s.cxx([&] { got = orn_get_path(key.c_str()); });
         if (o == Outcome::Done) { EXPECT_EQ(got, key); }
         if (o == Outcome::OutOfMemory) s.nothingLeft();
         s.keep();
       }},
      {"orn_get_path_instance",
       [](Step& s) {
         static int serial = 0;
         std::string third = "/joined/key/long/enough/" + std::to_string(++serial);
         const char* got = nullptr;
         Outcome o = s.cxx([&] { got = orn_get_path_instance("/opt/BrenmoorWarden", "/x", third.c_str()); });
         if (o == Outcome::Done) { EXPECT_EQ(got, "/opt/BrenmoorWarden/x" + third); }
         if (o == Outcome::OutOfMemory) s.nothingLeft();
         s.keep();
       }},
      {"orn_set_path gives null and keeps the old path",
       [](Step& s) {
         orn_set_path("#setting", "/old/value/long/enough/for/the/heap");
         const char* got = reinterpret_cast<const char*>(1);
         s.c([&] { got = orn_set_path("#setting", "/new/value/long/enough/for/the/heap/too"); });
         if (got) EXPECT_STREQ(got, "/new/value/long/enough/for/the/heap/too");
         else EXPECT_STREQ(orn_get_path("#setting"), "/old/value/long/enough/for/the/heap");
         s.keep();
       }},
      {"orn_change_directory",
       [](Step& s) {
         orn_set_path("#dir", "/opt");
         int result = -1;
         s.cxx([&] { result = orn_change_directory("#dir"); });
         EXPECT_EQ(result, 0);
         s.keep();
       }},
      {"orn_corvan_common_directory_init gives its status or raises out of memory",
       [](Step& s) {
         unsigned int status = 1;
         // Like the path look-ups it is made of, it lets the foundation's
         // exceptions through.
         Outcome o = s.cxx([&] { status = orn_corvan_common_directory_init("component"); });
         if (o == Outcome::Done) {
           EXPECT_EQ(status, 0x10652070u);
         } else {
           EXPECT_EQ(status, 1u);
         }
         s.keep();
       }},
      {"the path map's own members",
       [](Step& s) {
         PathMap map;
         map.addOrnPath("/kept");
         const std::string before = mapText(map);
         int step = 0;
         Outcome o = s.cxx([&] {
           map.addOrnPath("@/var/BrenmoorWarden/log/some/log/file/name.log");
           ++step;
           map.addOrnDataPath("/opt/BrenmoorWarden/etc/some/data/file.conf");
           ++step;
         });
         if (o == Outcome::OutOfMemory && step == 0) { EXPECT_EQ(mapText(map), before); }
       }},
  });
  report("getpath", startup + viaLookUp + paths);
  report("KelMsg", kelmsg + caches);
  report("fipsMode", mode);
  report("MrProcessLock", factory);
  report("NameValueMap", names);
}
