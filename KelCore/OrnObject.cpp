#include "KelCore/OrnObject.h"

#include <charconv>
#include <cstdlib>

#include "KelCore/internal/ornobject_raise.h"
#include "foundation/svc.h"
#include "foundation/zexception.h"
#include "util/internal/base64_core.h"
#include "util/mime64_new.h"

namespace ornobject_internal {

void raiseInvalidParameter(int line) {
  if (orn_svc_debug_level(orn_ras_svc_handle, 3) > 8)
    orn_svc__debug_utf8_withfile(orn_ras_svc_handle, kModule, line, 3, 9, "%s Exception thrown. \n",
                                 "ZInvalidParameterException");
  ZInvalidParameterException_7_0_0 exception;
  exception.throwException(kModule, line + 1);
}

}  // namespace ornobject_internal

namespace {

// Logical source line of exist()'s raise.
constexpr int kLineExistNullName = 1007;

}  // namespace

// ---------------------------------------------------------------- construction

OrnObject::OrnObject() = default;

OrnObject::OrnObject(char const* name) { setStringValue("name", name, 0, nullptr); }

OrnObject::OrnObject(OrnObject const& other) : ZObject_7_0_0(other), nameValues_(other.nameValues_) {}

OrnObject& OrnObject::operator=(OrnObject const& other) {
  if (this != &other) nameValues_ = other.nameValues_;
  return *this;
}

OrnObject::~OrnObject() = default;

unsigned long OrnObject::hash() const { return 0; }

int OrnObject::compare(ZObject_7_0_0 const&) const { return 0; }

ZObject_7_0_0* OrnObject::clone() const { return new OrnObject(*this); }

ZUTF8String_7_0_0 const& OrnObject::getName() const { return getStringValue("name", 0, nullptr); }

void OrnObject::setName(ZUTF8String_7_0_0& name) { setStringValue("name", name.getChars(), 0, nullptr); }

ZUTF8String_7_0_0 const& OrnObject::getDescription() const {
  return getStringValue("description", 0, nullptr);
}

void OrnObject::setDescription(ZUTF8String_7_0_0& text) {
  setStringValue("description", text.getChars(), 0, nullptr);
}

// ---------------------------------------------------------------- scopes

NameValueMap const* OrnObject::findLevel(char const* scope) const {
  return scope ? nameValues_.getSubtree(scope) : &nameValues_;
}

NameValueMap* OrnObject::levelFor(char const* scope) {
  return scope ? nameValues_.addSubtree(scope) : &nameValues_;
}

// ---------------------------------------------------------------- writers
//
// Each writer stores one text, made here, through the tree's scoped add or
// set, which makes a missing scope only together with the value: a writer
// that runs out of memory leaves the object as it was.

namespace {

char const* decimalOf(unsigned int value, char (&digits)[24]) {
  *std::to_chars(digits, digits + sizeof digits - 1, value).ptr = '\0';
  return digits;
}

char const* booleanOf(unsigned int value) { return value ? "true" : "false"; }

// The Base64 text of the bytes: made in place when short (most buffers
// are), in a block of its own otherwise.
class Base64Text {
 public:
  Base64Text(char const* data, unsigned int length) {
    auto const* bytes = reinterpret_cast<unsigned char const*>(data);
    if (length <= kInPlace && (data || length == 0)) {
      ornutil::base64::encodeText(bytes, length, inPlace_);
      text_ = inPlace_;
      return;
    }
    text_ = block_ = mime64_new_encode(bytes, length);
    if (!block_) ornz::throwOutOfMemory(ornobject_internal::kModule, __LINE__);
  }
  ~Base64Text() { std::free(block_); }
  Base64Text(Base64Text const&) = delete;
  Base64Text& operator=(Base64Text const&) = delete;
  char const* text() const { return text_; }

 private:
  static constexpr unsigned int kInPlace = 192;
  char inPlace_[ornutil::base64::encodedLength(kInPlace) + 1];
  char* block_ = nullptr;
  char const* text_ = nullptr;
};

}  // namespace

void OrnObject::addText(char const* name, char const* text, char const* scope) {
  ZUTF8ConstString_7_0_0 view(text);
  nameValues_.addValueIn(scope, name, &view);
}

void OrnObject::setText(char const* name, char const* text, unsigned int index, char const* scope) {
  ZUTF8ConstString_7_0_0 view(text);
  nameValues_.setValueIn(scope, name, index, &view);
}

OrnObject& OrnObject::setStringValue(char const* name, char const* value, unsigned int index,
                                     char const* scope) {
  if (name) setText(name, value, index, scope);
  return *this;
}

OrnObject& OrnObject::setIntegerValue(char const* name, unsigned int value, unsigned int index,
                                      char const* scope) {
  char digits[24];
  if (name) setText(name, decimalOf(value, digits), index, scope);
  return *this;
}

OrnObject& OrnObject::setBooleanValue(char const* name, unsigned int value, unsigned int index,
                                      char const* scope) {
  if (name) setText(name, booleanOf(value), index, scope);
  return *this;
}

OrnObject& OrnObject::setBufferValue(char const* name, char const* data, unsigned int length,
                                     unsigned int index, char const* scope) {
  if (!name) return *this;
  Base64Text encoded(data, length);
  setText(name, encoded.text(), index, scope);
  return *this;
}

OrnObject& OrnObject::addStringValue(char const* name, char const* value, char const* scope) {
  if (name) addText(name, value, scope);
  return *this;
}

OrnObject& OrnObject::addIntegerValue(char const* name, unsigned int value, char const* scope) {
  char digits[24];
  if (name) addText(name, decimalOf(value, digits), scope);
  return *this;
}

OrnObject& OrnObject::addBooleanValue(char const* name, unsigned int value, char const* scope) {
  if (name) addText(name, booleanOf(value), scope);
  return *this;
}

OrnObject& OrnObject::addBufferValue(char const* name, char const* data, unsigned int length,
                                     char const* scope) {
  if (!name) return *this;
  Base64Text encoded(data, length);
  addText(name, encoded.text(), scope);
  return *this;
}

// ---------------------------------------------------------------- readers

ZUTF8String_7_0_0 const& OrnObject::getStringValue(char const* name, unsigned int index,
                                                   char const* scope) const {
  // Shared by every object and handed out by reference, so it must outlive
  // any caller: a function static, built once under the compiler's guard.
  static const ZUTF8String_7_0_0 empty("");
  if (!name) return empty;
  NameValueMap const* level = findLevel(scope);
  if (!level) return empty;
  ZUTF8String_7_0_0 const* value = level->getString(name, index);
  return value ? *value : empty;
}

unsigned long OrnObject::integerValue(char const* name, unsigned int index, char const* scope) {
  return std::strtoul(getStringValue(name, index, scope).getChars(), nullptr, 10);
}

unsigned int OrnObject::booleanValue(char const* name, unsigned int index, char const* scope) {
  return getStringValue(name, index, scope).compareTo("true") == 0 ? 1 : 0;
}

void OrnObject::bufferValue(char const* name, char*& data, unsigned long& length, unsigned int index,
                            char const* scope) {
  ZUTF8String_7_0_0 const& text = getStringValue(name, index, scope);
  data = nullptr;
  length = 0;
  mime64_new_decode(text.getChars(), text.getLength(), &data, &length);
  // The decoder answers an exhausted heap with no block at all, which must
  // not pass for an empty value.
  if (!data && text.getLength() > 0) ornz::throwOutOfMemory(ornobject_internal::kModule, __LINE__);
}

// ---------------------------------------------------------------- removing and counting

void OrnObject::deleteValue(char const* name, unsigned int index, char const* scope) {
  if (!name) return;
  // A missing scope is not made just to find nothing in it.
  if (NameValueMap* level = scope ? nameValues_.getSubtree(scope) : &nameValues_)
    level->removeValue(name, index);
}

void OrnObject::deleteName(char const* name, unsigned int index, char const* scope) {
  deleteValue(name, index, scope);
}

void OrnObject::deleteName(char const* name, char const* scope) {
  if (!name) return;
  NameValueMap* level = scope ? nameValues_.getSubtree(scope) : &nameValues_;
  if (!level) return;
  for (unsigned int count = level->getValueCount(name); count > 0; --count) level->removeValue(name, count - 1);
}

int OrnObject::exist(char const* name, char const* scope) const {
  if (!name) ornobject_internal::raiseInvalidParameter(kLineExistNullName);
  NameValueMap const* level = findLevel(scope);
  return level ? level->exist(name) : 0;
}

unsigned int OrnObject::length(char const* name, char const* scope) const {
  if (!name) return 0;
  NameValueMap const* level = findLevel(scope);
  return level ? level->getValueCount(name) : 0;
}

unsigned int OrnObject::length() const { return nameValues_.getValueCount(); }
