// The forms a secret could leak in: tests of traces and records check that
// none of them appears.
#ifndef ORNUTIL_TESTS_SUPPORT_SECRET_FORMS_H
#define ORNUTIL_TESTS_SUPPORT_SECRET_FORMS_H

#include <string>
#include <vector>

namespace ornutil_test {

// The text, its scrambled form, and the Base64 of either once, twice and
// three times over (a secret three objects deep is Base64 inside Base64
// inside Base64), each Base64 at the three byte alignments it can have inside
// longer bytes (only the characters that depend on those bytes alone).
std::vector<std::string> secretForms(const std::string& secret);

}  // namespace ornutil_test

#endif
