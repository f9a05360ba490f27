#include "util/MrProcessLock.h"

#include <new>

#include "foundation/zexception.h"

namespace {
const char kModule[] = "util/MrProcessLock";
}

const char* MrProcessLockFactory::policyserverPrefix = "qyb";
MrProcessLockFactory* MrProcessLockFactory::theLockFactory_ = nullptr;
pthread_once_t MrProcessLockFactory::mrplf_once_ = PTHREAD_ONCE_INIT;

extern "C" {
static void MrProcessLockFactory_c_new_factory(void) { MrProcessLockFactory::new_factory(); }
}

MrProcessLockFactory::MrProcessLockFactory() : lockDirectory_("."), factoryType_(mrproclock_stub) {}

MrProcessLockFactory::~MrProcessLockFactory() = default;

void MrProcessLockFactory::new_factory() {
  MrProcessLockFactory* factory = new (std::nothrow) MrProcessLockFactory();
  if (factory == nullptr) ornz::throwOutOfMemory(kModule, __LINE__);
  // Published with release order: getLockFactory reads the pointer without
  // the once-control, and must then see a fully built factory.
  __atomic_store_n(&theLockFactory_, factory, __ATOMIC_RELEASE);
}

MrProcessLockFactory* MrProcessLockFactory::getLockFactory() {
  MrProcessLockFactory* factory = __atomic_load_n(&theLockFactory_, __ATOMIC_ACQUIRE);
  if (factory != nullptr) return factory;
  pthread_once(&mrplf_once_, MrProcessLockFactory_c_new_factory);
  return __atomic_load_n(&theLockFactory_, __ATOMIC_ACQUIRE);
}

MrProcessLockFactory::mrproclocktype MrProcessLockFactory::getFactoryType() const {
  return factoryType_;
}

void MrProcessLockFactory::setFactoryType(mrproclocktype type) { factoryType_ = type; }

const ZUTF8String_7_0_0& MrProcessLockFactory::getLockDirectory() const { return lockDirectory_; }

void MrProcessLockFactory::setLockDirectory(const char* directory) { lockDirectory_ = directory; }

ZAbstractReadWriteLock_7_0_0* MrProcessLockFactory::newLock(const char* name, mrproclocktype type,
                                                           const char* directory) {
  // ZObject_7_0_0's operator new yields null instead of throwing; a
  // constructor that raises has its storage freed by the same operator.
  ZAbstractReadWriteLock_7_0_0* lock;
  if (type == mrproclock_file) {
    lock = new ZUnixProcessReadWriteFileLock_7_0_0(name, directory);
  } else if (type == mrproclock_stub) {
    lock = new ZStubProcessReadWriteFileLock_7_0_0(name);
  } else {
    lock = new ZReadWriteLock_7_0_0();
  }
  if (lock == nullptr) ornz::throwOutOfMemory(kModule, __LINE__);
  return lock;
}

ZAbstractReadWriteLock_7_0_0* MrProcessLockFactory::newLock(const char* name,
                                                           mrproclocktype type) {
  MrProcessLockFactory* factory = getLockFactory();
  if (factory == nullptr) ornz::throwOutOfMemory(kModule, __LINE__);
  return newLock(name, type, factory->getLockDirectory().getChars());
}

ZAbstractReadWriteLock_7_0_0* MrProcessLockFactory::newLock(const char* name) {
  MrProcessLockFactory* factory = getLockFactory();
  if (factory == nullptr) ornz::throwOutOfMemory(kModule, __LINE__);
  return newLock(name, factory->getFactoryType(), factory->getLockDirectory().getChars());
}
