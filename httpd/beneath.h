// SPDX-License-Identifier: MIT
/*
 * Opening a page file beneath the page directory, from a descriptor of that
 * directory, so that nothing swapped in between a check and an open can lead
 * out of it: the kernel resolves the whole path with openat2() and
 * RESOLVE_BENEATH, which refuses any step out (a "..", an absolute symbolic
 * link, a link that climbs out) while links that stay beneath keep working.
 * Where the kernel has no openat2(), the path is walked one component at a
 * time with O_NOFOLLOW, and every symbolic link is refused.
 */
#pragma once

#include <string>

/*
 * Opens relative (components separated by '/', no ".." among them; "" for
 * the directory itself) beneath the directory root_fd, read-only and
 * non-blocking (a FIFO does not block the caller) with close-on-exec.
 * *use_openat2 starts true; it is cleared, and the walk used from then on,
 * when the kernel refuses openat2(). Returns the descriptor, or -1 with
 * errno set (EXDEV or ELOOP for a way out of the directory).
 */
int open_beneath(int root_fd, const std::string& relative, bool* use_openat2);
