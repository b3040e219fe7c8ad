// The names of the replacement's temporary files: ".valdrane-" and six
// letters or digits, never "*.tif", so a listing of pages never picks one up.
#pragma once

#include <cstddef>
#include <string>

constexpr std::size_t TemporaryLetters = 6;
// The longest name, with its terminating zero.
constexpr std::size_t TemporaryNameSize = sizeof ".valdrane-" + TemporaryLetters;

// TemporaryName: the name whose letters `random` picks, one byte each.
std::string TemporaryName(const unsigned char (&random)[TemporaryLetters]);

// IsTemporaryName: whether `name` is exactly a name TemporaryName makes.
bool IsTemporaryName(const char* name);
