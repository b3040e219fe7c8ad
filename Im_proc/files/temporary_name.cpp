#include "temporary_name.h"

#include <cstring>

namespace {

constexpr char Prefix[] = ".valdrane-";
constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

}  // namespace

std::string TemporaryName(const unsigned char (&random)[TemporaryLetters]) {
  std::string name = Prefix;
  for (const unsigned char r : random) name += Alphabet[r % (sizeof Alphabet - 1)];
  return name;
}

bool IsTemporaryName(const char* name) {
  if (std::strncmp(name, Prefix, sizeof Prefix - 1) != 0) return false;
  const char* letters = name + sizeof Prefix - 1;
  return std::strlen(letters) == TemporaryLetters &&
         std::strspn(letters, Alphabet) == TemporaryLetters;
}
