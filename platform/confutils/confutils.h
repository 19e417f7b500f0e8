// SPDX-License-Identifier: MIT
/*
 * Durable replacement of a configuration file's contents.
 */
#pragma once

#include <glib.h>

/*
 * Replaces the whole contents of path with the length bytes of data, durably
 * and atomically: the bytes go to a temporary file in the same directory,
 * which is synced, given the original file's mode and owner, renamed over
 * path, and the directory is synced. A reader sees the old or the new
 * contents, never a mix, and so does the file after a crash at any moment.
 * On failure the original is untouched, the temporary file is removed, and
 * *error is set with a message naming the failing step and the system's
 * reason. Only a regular file (or a link to one) is replaced, and only a
 * regular file at the temporary name is reused: anything else there (a FIFO,
 * a device, a socket) fails at once with "Not a regular file" as the reason
 * and is left as it is. Returns TRUE on success.
 */
gboolean confutils_set_file_contents_with_sync(const gchar* path,
                                               const gchar* data,
                                               gssize length, GError** error);
