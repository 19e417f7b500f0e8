// SPDX-License-Identifier: MIT
/*
 * Durable, atomic replacement of a configuration file's contents.
 *
 * The new bytes go to one fixed temporary file beside the target,
 * "<dir>/.<basename>.tmp", which is synced, given the target's owner and
 * mode, and renamed over the target; then the directory is synced so that
 * the rename itself survives a power cut. A reader opening the target sees
 * either the old or the new file, and after a crash the target holds one of
 * the two. A writer killed part-way leaves at most that one temporary file,
 * which the next write truncates and reuses. A symbolic link at the target's
 * name is replaced by a regular file with the mode and owner of the file it
 * pointed to. Only regular files are written or replaced: a FIFO or a
 * device at either name fails the write at once, without waiting in open().
 *
 * The temporary file is locked (flock) while it is filled, so two processes
 * replacing the same target at once take turns instead of writing into the
 * same temporary file; the lock dies with its holder.
 */
#include "confutils.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

/* Sets *error from errno with "<step> <file>: <reason>". */
void set_errno_error(GError** error, int err, const char* step, const std::string& file) {
  g_set_error(error, G_FILE_ERROR, g_file_error_from_errno(err), "Failed to %s %s: %s", step,
              file.c_str(), g_strerror(err));
}

int open_cloexec(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do fd = open(path, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

/* Writes all bytes, continuing after short writes and interruptions. */
bool write_all(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

/* Sets *error for a file that is there but is not a regular file. */
void set_not_regular_error(GError** error, const char* step, const std::string& file) {
  g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_FAILED, "Failed to %s %s: Not a regular file",
              step, file.c_str());
}

/*
 * Opens the temporary file, locked for this writer and empty; -1 after
 * setting *error. Another writer may rename or remove the file between our
 * open and our lock; the lock is then on a name that no longer leads to it,
 * so we open again. Whatever else is at the name (a FIFO, a device, a
 * socket) is refused and left alone: the open does not block, and a FIFO
 * without a reader fails it with ENXIO.
 */
int open_locked_temp(const std::string& temp, mode_t create_mode, GError** error) {
  const char* step = "open temporary file";
  for (;;) {
    /* Not O_TRUNC at open: the file may still be another writer's. */
    int fd = open_cloexec(temp.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK, create_mode);
    if (fd < 0) {
      if (errno == ENXIO)
        set_not_regular_error(error, step, temp);
      else
        set_errno_error(error, errno, step, temp);
      return -1;
    }
    struct stat by_fd;
    int r = fstat(fd, &by_fd);
    const bool regular = r == 0 && S_ISREG(by_fd.st_mode);
    if (regular) {
      do r = flock(fd, LOCK_EX);
      while (r < 0 && errno == EINTR);
    }
    if (r < 0 || !regular) {
      if (r < 0)
        set_errno_error(error, errno, step, temp);
      else
        set_not_regular_error(error, step, temp);
      close(fd);
      return -1;
    }
    struct stat by_name;
    if (lstat(temp.c_str(), &by_name) == 0 && by_fd.st_dev == by_name.st_dev &&
        by_fd.st_ino == by_name.st_ino) {
      if (ftruncate(fd, 0) == 0) return fd;
      set_errno_error(error, errno, step, temp);
      unlink(temp.c_str());
      close(fd);
      return -1;
    }
    close(fd);
  }
}

}  // namespace

gboolean confutils_set_file_contents_with_sync(const gchar* path, const gchar* data,
                                               gssize length, GError** error) {
  g_return_val_if_fail(path != nullptr, FALSE);
  g_return_val_if_fail(data != nullptr || length == 0, FALSE);
  g_return_val_if_fail(error == nullptr || *error == nullptr, FALSE);

  size_t size = length < 0 ? std::strlen(data) : static_cast<size_t>(length);

  gchar* dir_c = g_path_get_dirname(path);
  gchar* base_c = g_path_get_basename(path);
  const std::string dir = dir_c;
  const std::string temp = dir + "/." + base_c + ".tmp";
  g_free(dir_c);
  g_free(base_c);

  /* The target's owner and mode, when it exists, are what the new file gets. */
  struct stat original;
  bool have_original = stat(path, &original) == 0;
  if (!have_original && errno != ENOENT) {
    set_errno_error(error, errno, "examine", path);
    return FALSE;
  }
  /* Only a regular file is replaced (a link to one counts as one). */
  if (have_original && !S_ISREG(original.st_mode)) {
    set_not_regular_error(error, "replace", path);
    return FALSE;
  }

  /* Created private when there is a mode to copy; with the usual creation
   * mode (subject to the umask) when the target is new. */
  int fd = open_locked_temp(temp, have_original ? 0600 : 0666, error);
  if (fd < 0) return FALSE;

  /* Every failure from here on removes the temporary file; it is unlinked
   * while still locked, so no other writer can be filling it. */
  auto fail = [&](const char* step, const std::string& file) {
    int err = errno;
    unlink(temp.c_str());
    if (fd >= 0) close(fd);
    set_errno_error(error, err, step, file);
    return FALSE;
  };

  /* Owner before mode: a change of owner may clear set-id bits that the mode
   * then restores. Both before any byte is written, so the contents are
   * never readable with wider permissions than the target's. */
  if (have_original) {
    struct stat now;
    if (fstat(fd, &now) < 0) return fail("examine temporary file", temp);
    if ((now.st_uid != original.st_uid || now.st_gid != original.st_gid) &&
        fchown(fd, original.st_uid, original.st_gid) < 0)
      return fail("set owner of temporary file", temp);
    if (fchmod(fd, original.st_mode & 07777) < 0)
      return fail("set mode of temporary file", temp);
  }

  if (!write_all(fd, data, size)) return fail("write temporary file", temp);
  if (fsync(fd) < 0) return fail("sync temporary file", temp);

  /* The rename happens while the lock is still held, so a waiting writer
   * finds the name moved and starts over with a fresh file. */
  if (rename(temp.c_str(), path) < 0) return fail("rename temporary file to", path);

  /* From here the new contents are in place; only their durability can
   * still fail, and that is reported. close() of the old temporary file may
   * report a delayed write error of its own. */
  int close_result = close(fd);
  fd = -1;
  if (close_result < 0 && errno != EINTR) {
    set_errno_error(error, errno, "close", path);
    return FALSE;
  }

  int dir_fd = open_cloexec(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dir_fd < 0) {
    set_errno_error(error, errno, "open directory", dir);
    return FALSE;
  }
  int r = fsync(dir_fd);
  int err = errno;
  close(dir_fd);
  /* EINVAL: the file system cannot sync a directory, so there is nothing
   * more to make durable. */
  if (r < 0 && err != EINVAL) {
    set_errno_error(error, err, "sync directory", dir);
    return FALSE;
  }
  return TRUE;
}
