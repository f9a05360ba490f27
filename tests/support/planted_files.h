// What an attacker may plant at the name where a lock file is expected (a
// link, a FIFO, a device, a socket, a hard link to another file), and a
// watch that tells whether anything opened it for I/O: a lock file opener
// must refuse each without following or opening it.
#ifndef ORNUTIL_TESTS_SUPPORT_PLANTED_FILES_H
#define ORNUTIL_TESTS_SUPPORT_PLANTED_FILES_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

namespace ornutil_test {

struct PlantedKind {
  const char* description;
  // Makes something at `at`; `victim` is what a careless open would create,
  // follow to or write.
  void (*plant)(const std::string& at, const std::string& victim);
};

inline void writeVictim(const std::string& victim) { std::ofstream(victim) << "precious\n"; }

inline const PlantedKind kPlantedKinds[] = {
    {"link to a missing file",
     [](const std::string& at, const std::string& victim) { ASSERT_EQ(::symlink(victim.c_str(), at.c_str()), 0); }},
    {"link to an existing file",
     [](const std::string& at, const std::string& victim) {
       writeVictim(victim);
       ASSERT_EQ(::symlink(victim.c_str(), at.c_str()), 0);
     }},
    {"FIFO", [](const std::string& at, const std::string&) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); }},
    {"character device",
     [](const std::string& at, const std::string&) {
       // The numbers of /dev/null: a node made here, never the host's own.
       ASSERT_EQ(::mknod(at.c_str(), S_IFCHR | 0600, makedev(1, 3)), 0) << std::strerror(errno);
     }},
    {"socket",
     [](const std::string& at, const std::string&) {
       int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
       ASSERT_GE(s, 0);
       struct sockaddr_un addr;
       std::memset(&addr, 0, sizeof addr);
       addr.sun_family = AF_UNIX;
       ASSERT_LT(at.size(), sizeof addr.sun_path);
       std::memcpy(addr.sun_path, at.c_str(), at.size());
       ASSERT_EQ(::bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
       ::close(s);
     }},
    {"hard link to another file",
     [](const std::string& at, const std::string& victim) {
       writeVictim(victim);
       ASSERT_EQ(::link(victim.c_str(), at.c_str()), 0);
     }},
};

// Watches the node at a name (not what a link there points to) and, when it
// exists, the victim: opened() tells whether either was opened since.
class OpenWatch {
 public:
  OpenWatch(const std::string& at, const std::string& victim) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    ::inotify_add_watch(fd_, at.c_str(), IN_OPEN | IN_DONT_FOLLOW);
    ::inotify_add_watch(fd_, victim.c_str(), IN_OPEN);  // fails harmlessly when there is no victim
  }
  ~OpenWatch() { ::close(fd_); }
  OpenWatch(const OpenWatch&) = delete;
  OpenWatch& operator=(const OpenWatch&) = delete;

  bool ok() const { return fd_ >= 0; }
  bool opened() const {
    alignas(struct inotify_event) char events[4096];
    ssize_t n = ::read(fd_, events, sizeof events);
    for (char* p = events; n > 0 && p < events + n;) {
      auto* e = reinterpret_cast<struct inotify_event*>(p);
      if (e->mask & IN_OPEN) return true;
      p += sizeof(struct inotify_event) + e->len;
    }
    return false;
  }

 private:
  int fd_;
};

}  // namespace ornutil_test

#endif
