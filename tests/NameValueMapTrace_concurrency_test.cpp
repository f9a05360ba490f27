// Traces of one tree on several threads at once, from the first trace of the
// process on: the keyed hash of the layouts is drawn on first use and the
// secret names are a fixed table, so every thread must render the same
// text, with the same values masked, as one thread alone.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "util/NameValueMap.h"

namespace {

std::string traceOf(const NameValueMap& map) {
  ZUTF8String_7_0_0 out;
  map.buildTraceBuf(out, 0);
  return std::string(out.getChars(), out.getLength());
}

std::string traceOfBytes(const orn_asn_buffer_t& buffer) {
  std::string text;
  unsigned long status = 1;
  NameValueMap::traceEncoded(
      buffer, 0, [](void* to, char const* piece, std::size_t n) { static_cast<std::string*>(to)->append(piece, n); },
      &text, status);
  return status == 0 ? text : "status " + std::to_string(status);
}

TEST(NameValueMapTraceConcurrency, ThreadsTracingAtOnceRenderWhatOneThreadRenders) {
  constexpr int kThreads = 4;
  NameValueMap map;
  for (int i = 0; i < 200; ++i) map.addString(("name-" + std::to_string(i)).c_str(), "v");
  // A flat attribute list under a prefix, with a secret attribute and an
  // obfuscated "value", and a subtree holding a password.
  for (const char* attribute : {"password", "value", "obfuscate", "cn"})
    map.addString("pattrlistnames", attribute);
  map.addString("ppassword", "secret-1");
  map.addString("pvalue", "secret-2");
  map.addString("pobfuscate", "true");
  map.addString("pcn", "shown");
  map.addSubtree("s")->addString("password", "secret-3");
  orn_asn_buffer_t buffer{0, nullptr};
  unsigned long status = 1;
  map.encode(buffer, status);
  ASSERT_EQ(status, 0u);

  std::atomic<int> ready{0};
  std::vector<std::string> fromMap(kThreads), fromBytes(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) {
      }
      fromMap[t] = traceOf(map);
      fromBytes[t] = traceOfBytes(buffer);
    });
  }
  for (auto& thread : threads) thread.join();

  const std::string alone = traceOf(map);
  EXPECT_EQ(alone.find("secret"), std::string::npos) << alone;
  EXPECT_NE(alone.find("pcn = shown"), std::string::npos) << alone;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(fromMap[t], alone) << "thread " << t;
    EXPECT_EQ(fromBytes[t], alone) << "thread " << t;
  }
  orn_asn_buffer_free(&buffer);
}

}  // namespace
