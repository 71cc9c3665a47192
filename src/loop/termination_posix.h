#pragma once

namespace ts::termination {

// SIGTERM, SIGINT and SIGHUP end the process at once with status 128 plus
// the signal's number. On the way out the temporary file being written is
// removed and the port being held is released, so that neither outlives
// the run; a file already renamed into place stays. Nothing else runs, so
// the handler does only what is safe inside a signal handler.
void install();

// The file removed if the process ends now; nullptr for none. `path` must
// stay valid until it is replaced; its characters may change meanwhile (a
// name being filled in).
void setTemporaryFile(const char* path);

// The descriptor that `release` hands back to the system if the process
// ends now; -1 for none. `release` must be safe inside a signal handler.
using Release = void (*)(int fd);
void setPort(int fd, Release release);

}  // namespace ts::termination
