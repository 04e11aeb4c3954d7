#include "app/runtime_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace trb {
namespace {

// True when `path` names a directory owned by `uid` that nobody else may enter. Opened without
// following a symlink, and checked on the opened directory itself.
bool IsPrivateDir(const std::string& path, unsigned uid) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st = {};
  bool ok = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid &&
            (st.st_mode & 0077) == 0 && (st.st_mode & 0700) == 0700;
  close(fd);
  return ok;
}

}  // namespace

std::string PrivateRuntimeDir(const std::string& base, unsigned uid, std::string* error) {
  std::string path = base + "/trbrowser-runtime-" + std::to_string(uid);
  // mkdir never follows a symlink at the last component: either the directory is made here,
  // as ours, or whatever stands under the name is examined and used only if it is ours.
  if (mkdir(path.c_str(), 0700) == 0) {
    chmod(path.c_str(), 0700);  // the umask may have taken bits we need
  }
  if (IsPrivateDir(path, uid)) return path;

  std::vector<char> name(path.begin(), path.end());
  const char kSuffix[] = "-XXXXXX";
  name.insert(name.end(), kSuffix, kSuffix + sizeof kSuffix);
  if (mkdtemp(name.data()) != nullptr) return name.data();
  *error = "cannot make a private runtime directory in " + base + ": " + std::strerror(errno);
  return "";
}

void EnsureRuntimeDir() {
  const char* current = std::getenv("XDG_RUNTIME_DIR");
  if (current != nullptr && *current != '\0') return;
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  std::string error;
  std::string dir = PrivateRuntimeDir(base, geteuid(), &error);
  if (dir.empty()) {
    std::fprintf(stderr, "trbrowser: XDG_RUNTIME_DIR is not set and %s; set it\n", error.c_str());
    return;
  }
  setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
}

}  // namespace trb
