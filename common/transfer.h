// SPDX-License-Identifier: MIT
/*
 * The transfer protocol between the web server and lanecamd: one datagram
 * on a Unix datagram socket, text that names the script and then carries
 * the JSON request after one character, with the client's connection
 * descriptor attached. The daemon answers on that descriptor and closes it.
 * The values are macros so that help texts can spell them out.
 */
#pragma once

/* Where the transfer socket is, unless TRANSFER_SOCKET_ENV names another. */
#define TRANSFER_SOCKET_PATH "/run/lanecamd/transfer"

/* The environment variable that overrides TRANSFER_SOCKET_PATH. */
#define TRANSFER_SOCKET_ENV "LANECAMD_TRANSFER_SOCKET"

/* The script the daemon answers for; the JSON follows its first occurrence
 * in the text after one character. */
#define TRANSFER_SCRIPT_NAME "roadshotwizard.cgi"

/* Largest text the daemon takes from one datagram; a longer one is cut. */
#define TRANSFER_REQUEST_MAX 4095

/*
 * Path of the transfer socket: the value of LANECAMD_TRANSFER_SOCKET when
 * that is set and not empty, else "/run/lanecamd/transfer". Static or
 * environment storage; never null.
 */
const char* transfer_socket_path();
