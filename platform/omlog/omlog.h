// SPDX-License-Identifier: MIT
/*
 * Log sinks: route all GLib log output of the process to standard output or
 * to syslog. Levels: the first user level (256) as error, warning (16) as
 * warning, info (64) as info; GLib's own levels map to their syslog kin.
 * Info messages are emitted, not filtered: the caller decides what to log.
 */
#pragma once

/* One line per message on standard output, written whole and unbuffered. */
void om_log_stdout();

/* syslog with identity "lanecamd", facility daemon. */
void om_log_syslog();
