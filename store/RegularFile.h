// Opening the store's files for reading without ever blocking: a FIFO, a
// device or a socket standing where a file is expected would stop a plain
// open (or the first read) for good, so only regular files are opened.
#ifndef UPDATER_REGULARFILE_H
#define UPDATER_REGULARFILE_H

#include <cstdio>
#include <string>

// The error OpenRegularFile gives for something that exists but is neither
// a regular file nor a directory (a directory gives EISDIR).
const int kNotRegularFile = -1;

// path opened for reading ("rb") when it is a regular file; null otherwise,
// with *error (when given) set to the system error number or to
// kNotRegularFile.
FILE* OpenRegularFile(const char* path, int* error = nullptr);

// The system's text for an error of OpenRegularFile (or any errno value).
std::string OpenErrorText(int error);

#endif
