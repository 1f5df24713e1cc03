// Working folders; see folders.h.
#include "folders.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

// One level: an existing folder is fine, anything else in its place is not.
static int makeFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return 0;
  const int error = errno;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  return error;
}

int makeFolders(const char* path) {
  const std::string whole = path;
  // Each parent first, at every '/' past the first character.
  for (size_t at = whole.find('/', 1); at != std::string::npos; at = whole.find('/', at + 1)) {
    if (whole[at - 1] == '/') continue;
    const int error = makeFolder(whole.substr(0, at));
    if (error != 0) return error;
  }
  return makeFolder(whole);
}

bool enterWorkFolder(const char* program, const char* dir) {
  int error = makeFolders(dir);
  if (error == 0 && chdir(dir) != 0) error = errno;
  if (error == 0) return true;
  fprintf(stderr, "%s: cannot work in %s: %s\n", program, dir, strerror(error));
  return false;
}
