// POSIX files: a whole file replaced so that a crash leaves the old one or
// the new one, and a regular file read whole up to a limit.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/platform.h"

namespace mirx::platform {

namespace {

bool write_all(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The directory entry of a rename reaches the disk only with its directory.
void sync_directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

int replace_file(const std::string& path, const std::string& data, bool owner_only) {
  const std::string temporary = path + ".tmp";
  // Whatever is at the temporary name (a file left by a crash, or a link
  // planted to make this write elsewhere) is removed, not followed or
  // reused: the file renamed over `path` is always one this call created.
  if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) return errno;
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        owner_only ? 0600 : 0644);
  if (fd < 0) return errno;
  int error = 0;
  if (!write_all(fd, data) || ::fsync(fd) != 0) error = errno != 0 ? errno : EIO;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    return error;
  }
  sync_directory_of(path);
  return 0;
}

file_read read_regular_file(const char* path, std::size_t limit, std::string& text) {
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return {errno == ENOENT ? file_status::missing : file_status::failed, errno};
  struct stat info {};
  file_read r{file_status::read, 0};
  if (::fstat(fd, &info) != 0) {
    r = {file_status::failed, errno};
  } else if (!S_ISREG(info.st_mode)) {
    r = {file_status::not_regular, 0};
  } else {
    text.clear();
    char chunk[65536];
    ssize_t n;
    // A file that grows while it is read is cut off one chunk past the limit.
    while ((n = ::read(fd, chunk, sizeof chunk)) != 0 && text.size() <= limit) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        r = {file_status::failed, errno};
        break;
      }
      text.append(chunk, static_cast<std::size_t>(n));
    }
    if (r.status == file_status::read && text.size() > limit) r = {file_status::too_large, 0};
  }
  ::close(fd);
  return r;
}

}  // namespace mirx::platform
