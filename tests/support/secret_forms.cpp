#include "tests/support/secret_forms.h"

#include <cstdlib>

#include "util/encode.h"
#include "util/mime64_new.h"

namespace ornutil_test {

namespace {

std::string base64(const std::string& bytes) {
  char* text = mime64_new_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  std::string out = text;
  std::free(text);
  return out;
}

// The characters of the Base64 of `bytes` that depend on those bytes alone,
// at each of the three alignments they can have inside longer bytes.
void appendBase64Cores(const std::string& bytes, std::vector<std::string>& out) {
  for (std::size_t shift = 0; shift < 3; ++shift) {
    std::string text = base64(std::string(shift, 'x') + bytes);
    std::size_t first = shift ? 1 : 0, whole = (shift + bytes.size()) / 3;
    out.push_back(text.substr(first * 4, (whole - first) * 4));
  }
}

}  // namespace

std::vector<std::string> secretForms(const std::string& secret) {
  char* scrambled = util_encode(secret.c_str());
  std::vector<std::string> forms{secret, scrambled ? scrambled : secret};
  std::free(scrambled);
  std::vector<std::string> layer = forms;
  for (int times = 0; times < 3; ++times) {
    std::vector<std::string> next;
    for (const std::string& form : layer) appendBase64Cores(form, next);
    forms.insert(forms.end(), next.begin(), next.end());
    layer = next;
  }
  return forms;
}

}  // namespace ornutil_test
