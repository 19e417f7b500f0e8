// SPDX-License-Identifier: MIT
/*
 * JSON API envelope: the single entry point handle_request and the
 * supported API version "1.0". The replies themselves are built in reply.h.
 */
#pragma once

/*
 * Parses the NUL-terminated request text, reads its envelope and answers it:
 * getSupportedVersions here, get and set through their handlers, everything
 * malformed or unknown with its error reply. Returns a newly allocated reply
 * text that the caller releases with free(); null only when memory runs out.
 */
char* handle_request(const char* text);
