// SPDX-License-Identifier: MIT
/*
 * Service frame: start-up, command line, log sink, debug flag, signals,
 * detaching, the main loop and the exit when idle.
 */
#pragma once

/* The daemon's main routine: 0 after the main loop ended, 1 on any start-up
 * failure. */
int lanecamd_main(int argc, char** argv);
