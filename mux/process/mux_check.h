/* The configuration check (-n): loads the configuration the way start-up
 * does (the file, the environment names, the command line, and with SSL on
 * the certificate databases and nicknames) and reports every problem it
 * finds on standard error, as "FILE:LINE: error: ..." or "...: warning:
 * ...", with the line of the key where the problem has one. Binds nothing,
 * detaches nothing, writes no pid file.
 *
 * Threads: the first thread only, instead of the start. */
#ifndef MUX_MUX_CHECK_H
#define MUX_MUX_CHECK_H

/* 0 when the configuration would start (warnings allowed), 1 when not. */
int mux_check_run(const char *confpath, int argc, char **argv);

#endif
